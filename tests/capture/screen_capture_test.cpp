#include <gtest/gtest.h>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <thread>

#include "audio_server.h"
#include "capture/screen_capture_audio.h"
#include "support/allocation_counter.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

TEST(MonitorMixer, SumsInputsAsTheyArrive) {
    ScreenCaptureAudio::Mixer mixer(2, 1000, 100);
    const std::vector<float> a(2 * 80, 0.25f);
    const std::vector<float> b(2 * 50, 0.125f);
    test::AllocationCounter counter;
    EXPECT_EQ(mixer.add(0, a.data(), 80), 0u);   // waits for the other input
    EXPECT_EQ(mixer.add(1, b.data(), 50), 50u);  // both have 50 frames
    EXPECT_EQ(mixer.output()[0], 0.375f);
    EXPECT_EQ(mixer.output()[99], 0.375f);
    EXPECT_EQ(mixer.add(1, b.data(), 50), 30u);  // the first input holds 30 more
    EXPECT_EQ(mixer.output()[59], 0.375f);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(MonitorMixer, AnInputThatFallsBehindIsSilent) {
    ScreenCaptureAudio::Mixer mixer(2, 1000, 100);
    const std::vector<float> a(2 * 150, 0.25f);
    const std::vector<float> b(2 * 10, 0.125f);
    EXPECT_EQ(mixer.add(1, b.data(), 10), 0u);
    EXPECT_EQ(mixer.add(0, a.data(), 150), 150u);  // 140 frames ahead: beyond the lead
    EXPECT_EQ(mixer.output()[0], 0.375f);
    EXPECT_EQ(mixer.output()[2 * 10], 0.25f);
    // More than the ring holds is dropped, not written past it.
    const std::vector<float> big(2 * 2000, 0.5f);
    EXPECT_EQ(mixer.add(0, big.data(), 2000), 1000u);
    EXPECT_EQ(mixer.add(5, big.data(), 10), 0u);
}

std::optional<std::string> startMonitor(ScreenCaptureAudio& source) {
    std::optional<std::string> text = "not completed";
    source.start([&](std::optional<std::string> problem) { text = problem; });
    return text;
}

// Starts a monitor capture once the players' streams have reached the server.
std::optional<std::string> startWhenPlaying(ScreenCaptureAudio& source) {
    std::optional<std::string> result;
    for (int i = 0; i < 50; ++i) {
        result = startMonitor(source);
        if (result != "Pro Tools не запущен") break;
        std::this_thread::sleep_for(100ms);
    }
    return result;
}

TEST(MonitorOnServer, MixesTheMatchingPlayersOnly) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    players.start("com.avid.ProTools.B", 0.125);
    players.start("com.example.Other", 0.0625);
    players.start("", 0.03125);
    std::this_thread::sleep_for(300ms);  // let both Pro Tools players reach the server
    ScreenCaptureAudio monitor;
    test::Collector collector;
    collector.attach(monitor);
    ASSERT_EQ(startWhenPlaying(monitor), std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(48000));
    EXPECT_EQ(collector.format(), (CaptureFormat{48000, 2, true}));
    EXPECT_EQ(collector.threadName(), "quorvel.sck");
    test::expectOnlyTheMatchingMix(collector.samples());

    // A player that ends ends the capture.
    players.stop(0);
    EXPECT_TRUE(collector.waitForRestart());
    monitor.stop();
    monitor.stop();
}

TEST(MonitorOnServer, SteadyStateAllocatesNothing) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    players.start("com.avid.ProTools.B", 0.125);
    std::this_thread::sleep_for(300ms);
    ScreenCaptureAudio monitor;
    EXPECT_EQ(test::steadyStateAllocations(monitor, [&] { return startWhenPlaying(monitor) == std::nullopt; }), 0);
}

TEST(MonitorOnServer, NoProTools) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.Avid.ProTools", 0.0625);  // letter case differs
    std::this_thread::sleep_for(300ms);
    ScreenCaptureAudio monitor;
    EXPECT_EQ(startMonitor(monitor), "Pro Tools не запущен");
    monitor.stop();
}

// A playback stream of this very process, under a Pro Tools identity.
class OwnPlayer {
public:
    OwnPlayer() {
        int error = 0;
        loop_ = PipeWireLoop::connect("quorvel.player", error);
        if (!loop_) return;
        PipeWireLoop::Lock lock(*loop_);
        stream_ = pw_stream_new(loop_->core(), "own player",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                  "application.id", "com.avid.ProTools.Self", nullptr));
        events_.version = PW_VERSION_STREAM_EVENTS;
        events_.process = [](void* data) {
            auto* self = static_cast<OwnPlayer*>(data);
            pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
            if (!buffer) return;
            spa_data& block = buffer->buffer->datas[0];
            const std::uint32_t frames = std::min<std::uint32_t>(block.maxsize / 8, 1024);
            std::fill_n(static_cast<float*>(block.data), frames * 2, 0.5f);
            block.chunk->offset = 0;
            block.chunk->stride = 8;
            block.chunk->size = frames * 8;
            pw_stream_queue_buffer(self->stream_, buffer);
        };
        pw_stream_add_listener(stream_, &hook_, &events_, this);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = 48000;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        std::uint8_t bytes[512];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, bytes, sizeof bytes);
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                          params, 1);
    }
    ~OwnPlayer() {
        if (!loop_) return;
        {
            PipeWireLoop::Lock lock(*loop_);
            spa_hook_remove(&hook_);
            pw_stream_destroy(stream_);
        }
        loop_.reset();
    }

private:
    std::unique_ptr<PipeWireLoop> loop_;
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    pw_stream_events events_{};
};

TEST(MonitorOnServer, LeavesOutOurOwnAudio) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    OwnPlayer own;
    std::this_thread::sleep_for(500ms);  // it plays, and pulse clients see it
    ScreenCaptureAudio monitor;
    EXPECT_EQ(startMonitor(monitor), "Pro Tools не запущен");
    monitor.stop();
}

TEST(MonitorWithoutServer, SaysTheServerDoesNotAnswer) {
    test::ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/quorvel-no-server");
    ScreenCaptureAudio monitor;
    EXPECT_EQ(startMonitor(monitor), "Нет доступа к записи звука: звуковой сервер PulseAudio не отвечает");
    monitor.stop();
}

}  // namespace
}  // namespace quorvel
