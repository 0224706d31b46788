#include <gtest/gtest.h>

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

struct Players {
    ~Players() {
        for (const int pid : pids) test::killPlayer(pid);
    }
    std::vector<int> pids;
};

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
    Players players;
    players.pids = {test::startPlayer("com.avid.ProTools.A", 0.25), test::startPlayer("com.avid.ProTools.B", 0.125),
                    test::startPlayer("com.example.Other", 0.0625), test::startPlayer("", 0.03125)};
    std::this_thread::sleep_for(300ms);  // let both Pro Tools players reach the server
    ScreenCaptureAudio monitor;
    test::Collector collector;
    collector.attach(monitor);
    ASSERT_EQ(startWhenPlaying(monitor), std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(48000));
    EXPECT_EQ(collector.format(), (CaptureFormat{48000, 2, true}));
    EXPECT_EQ(collector.threadName(), "quorvel.sck");
    const auto samples = collector.samples();
    std::size_t mixed = 0;
    std::size_t foreign = 0;
    for (const float sample : samples) {
        if (sample == 0.375f) ++mixed;
        else if (sample != 0.0f && sample != 0.25f && sample != 0.125f) ++foreign;
    }
    EXPECT_EQ(foreign, 0u);
    EXPECT_GT(mixed, samples.size() / 2);

    // A player that ends ends the capture.
    test::killPlayer(players.pids[0]);
    EXPECT_TRUE(collector.waitForRestart());
    monitor.stop();
    monitor.stop();
}

TEST(MonitorOnServer, SteadyStateAllocatesNothing) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    Players players;
    players.pids = {test::startPlayer("com.avid.ProTools.A", 0.25), test::startPlayer("com.avid.ProTools.B", 0.125)};
    std::this_thread::sleep_for(300ms);
    ScreenCaptureAudio monitor;
    EXPECT_EQ(test::steadyStateAllocations(monitor, [&] { return startWhenPlaying(monitor) == std::nullopt; }), 0);
}

TEST(MonitorOnServer, NoProTools) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    Players players;
    players.pids = {test::startPlayer("com.Avid.ProTools", 0.0625)};  // letter case differs
    std::this_thread::sleep_for(300ms);
    ScreenCaptureAudio monitor;
    EXPECT_EQ(startMonitor(monitor), "Pro Tools не запущен");
    monitor.stop();
}

TEST(MonitorWithoutServer, AsksForPermission) {
    test::ScopedEnv noServer("PULSE_SERVER", "unix:/nonexistent/quorvel-no-server");
    ScreenCaptureAudio monitor;
    EXPECT_EQ(startMonitor(monitor),
              "Нет разрешения на запись звука: Системные настройки → Конфиденциальность и безопасность → "
              "Запись экрана и системного звука");
    monitor.stop();
}

}  // namespace
}  // namespace quorvel
