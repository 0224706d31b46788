#include <gtest/gtest.h>

#include "audio_server.h"
#include "capture/audio_sources.h"
#include "capture/input_device_capture.h"
#include "capture/process_tap_capture.h"
#include "capture/screen_capture_audio.h"
#include "capture/source_choice.h"

namespace quorvel {
namespace {

template <typename Source>
bool makes(const SourceChoice& choice) {
    const auto source = AudioSources::make(choice);
    return dynamic_cast<Source*>(source.get()) != nullptr;
}

TEST(AudioSourcesMake, InputAlwaysGivesAnInputSource) {
    test::ScopedEnv noPipeWire("PIPEWIRE_REMOTE", "/nonexistent/quorvel-no-server");
    test::ScopedEnv noPulse("PULSE_SERVER", "unix:/nonexistent/quorvel-no-server");
    const auto source = AudioSources::make(SourceChoice::input("no-such-device", -2));
    const auto* input = dynamic_cast<InputDeviceCapture*>(source.get());
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->uid(), "no-such-device");
    EXPECT_EQ(input->firstChannel(), 1);
}

TEST(AudioSourcesMake, DirectWithoutAnyServerIsNothing) {
    test::ScopedEnv noPipeWire("PIPEWIRE_REMOTE", "/nonexistent/quorvel-no-server");
    test::ScopedEnv noPulse("PULSE_SERVER", "unix:/nonexistent/quorvel-no-server");
    EXPECT_EQ(AudioSources::reachableServer(), AudioSources::Server::none);
    EXPECT_FALSE(AudioSources::directAvailable());
    EXPECT_EQ(AudioSources::make(SourceChoice::direct()), nullptr);
}

TEST(AudioSourcesMake, DirectThroughTheReachableServer) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    EXPECT_EQ(AudioSources::reachableServer(), AudioSources::Server::pipeWire);
    EXPECT_TRUE(AudioSources::directAvailable());
    EXPECT_TRUE(makes<ProcessTapCapture>(SourceChoice::direct()));
    {
        // Only the pulse server answers.
        test::ScopedEnv noPipeWire("PIPEWIRE_REMOTE", "/nonexistent/quorvel-no-server");
        EXPECT_EQ(AudioSources::reachableServer(), AudioSources::Server::pulseAudio);
        EXPECT_TRUE(AudioSources::directAvailable());
        EXPECT_TRUE(makes<ScreenCaptureAudio>(SourceChoice::direct()));
    }
    EXPECT_TRUE(makes<InputDeviceCapture>(SourceChoice::input("quorvel-test-stereo", 1)));
}

}  // namespace
}  // namespace quorvel
