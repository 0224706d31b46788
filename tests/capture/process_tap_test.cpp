#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "audio_server.h"
#include "capture/process_tap_capture.h"
#include "capture/pipewire_graph.h"
#include "capture/pipewire_loop.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

TEST(ProcessTapFormat, FramesOfABlock) {
    std::vector<float> data(1024);
    const std::array<AudioBuffer, 1> interleaved{AudioBuffer{2, 4096, data.data()}};
    EXPECT_EQ(ProcessTapCapture::framesIn(interleaved, {48000, 2, true}), 512);
    const std::array<AudioBuffer, 1> tiny{AudioBuffer{2, 4, data.data()}};
    EXPECT_EQ(ProcessTapCapture::framesIn(tiny, {48000, 2, true}), 0);
    const std::array<AudioBuffer, 2> planar{AudioBuffer{1, 2048, data.data()}, AudioBuffer{1, 2048, data.data()}};
    EXPECT_EQ(ProcessTapCapture::framesIn(planar, {48000, 2, false}), 512);
    EXPECT_EQ(ProcessTapCapture::framesIn({}, {48000, 2, true}), 0);
    const std::array<AudioBuffer, 1> empty{AudioBuffer{2, 4096, nullptr}};
    EXPECT_EQ(ProcessTapCapture::framesIn(empty, {48000, 2, true}), 0);
    const std::array<AudioBuffer, 1> wide{AudioBuffer{64, 4096, data.data()}};
    EXPECT_EQ(ProcessTapCapture::framesIn(wide, {48000, 64, true}), 16);
    EXPECT_EQ(ProcessTapCapture::framesIn(wide, {48000, 0, true}), 1024);
}

// Waits until `count` Pro Tools streams play.
bool waitForProTools(std::size_t count) {
    for (int i = 0; i < 100; ++i) {
        if (ProcessTapCapture::proToolsProcesses().size() == count) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(ProcessTapOnServer, MixesTheMatchingPlayersOnly) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    players.start("com.avid.ProTools.B", 0.125);
    players.start("com.example.Other", 0.0625);
    players.start("", 0.03125);  // no identity at all
    ASSERT_TRUE(waitForProTools(2));

    ProcessTapCapture tap;
    test::Collector collector;
    collector.attach(tap);
    std::optional<std::string> problem = "not completed";
    tap.start([&](std::optional<std::string> text) { problem = text; });
    ASSERT_EQ(problem, std::nullopt);
    EXPECT_EQ(tap.clockUID(), "quorvel-test-speakers");
    ASSERT_TRUE(collector.waitForFrames(48000));
    EXPECT_EQ(collector.format(), (CaptureFormat{48000, 2, true}));
    EXPECT_EQ(collector.threadName(), "quorvel.audio");
    test::expectOnlyTheMatchingMix(collector.samples());

    // The players still play to their own output.
    {
        int error = 0;
        auto loop = PipeWireLoop::connect("quorvel.check", error);
        ASSERT_TRUE(loop);
        PipeWireLoop::Lock lock(*loop);
        PipeWireGraph graph(*loop);
        ASSERT_TRUE(graph.settle());
        const auto speakers = graph.nodeByName("quorvel-test-speakers");
        std::size_t intoSpeakers = 0;
        for (const auto& [id, link] : graph.links())
            if (link.inputNode == speakers && graph.identity(link.outputNode).starts_with("com.avid.ProTools"))
                ++intoSpeakers;
        EXPECT_GE(intoSpeakers, 4u);
    }
    tap.stop();
    tap.stop();
}

std::size_t tapsInGraph() {
    int error = 0;
    auto loop = PipeWireLoop::connect("quorvel.check", error);
    if (!loop) return 0;
    PipeWireLoop::Lock lock(*loop);
    PipeWireGraph graph(*loop);
    graph.settle();
    std::size_t taps = 0;
    for (const auto& [id, node] : graph.nodes())
        if (const auto name = node.props.find("node.name"); name != node.props.end() && name->second == "quorvel.tap")
            ++taps;
    return taps;
}

TEST(ProcessTapOnServer, SecondStartReplacesTheFirst) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    ASSERT_TRUE(waitForProTools(1));
    ProcessTapCapture tap;
    const auto processes = ProcessTapCapture::proToolsProcesses();
    ASSERT_EQ(tap.start(processes), std::nullopt);
    ASSERT_EQ(tap.start(processes), std::nullopt);
    // Only the second tap is left in the graph, with its format.
    EXPECT_EQ(tapsInGraph(), 1u);
    bool negotiated = false;
    readCurrentGraph([&](const PipeWireGraph& graph) {
        negotiated = graph.node(tap.tapID()) && graph.node(tap.tapID())->format;
    });
    EXPECT_TRUE(negotiated);
    tap.stop();
    EXPECT_EQ(tap.tapID(), 0u);
    EXPECT_EQ(tapsInGraph(), 0u);
}

TEST(ProcessTapOnServer, NothingToTap) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.example.Other", 0.0625);
    ProcessTapCapture tap;
    std::optional<std::string> problem;
    tap.start([&](std::optional<std::string> text) { problem = text; });
    EXPECT_EQ(problem, "Pro Tools не запущен или пока не выводит звук");
    tap.stop();
}

TEST(ProcessTapOnServer, RestartWhenTheGraphRateChanges) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    ASSERT_TRUE(waitForProTools(1));
    ProcessTapCapture tap;
    test::Collector collector;
    collector.attach(tap);
    ASSERT_EQ(tap.start(ProcessTapCapture::proToolsProcesses()), std::nullopt);
    ASSERT_TRUE(collector.waitForFrames(4800));
    test::shell("pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null");
    const bool restarted = collector.waitForRestart();
    test::shell("pw-metadata -n settings 0 clock.force-rate 0 >/dev/null");
    EXPECT_TRUE(restarted);
    tap.stop();
}

TEST(ProcessTapOnServer, SteadyStateAllocatesNothing) {
    QUORVEL_REQUIRE_AUDIO_SERVER();
    test::Players players;
    players.start("com.avid.ProTools.A", 0.25);
    ASSERT_TRUE(waitForProTools(1));
    ProcessTapCapture tap;
    const auto processes = ProcessTapCapture::proToolsProcesses();
    EXPECT_EQ(test::steadyStateAllocations(tap, [&] { return !tap.start(processes); }), 0);
}

}  // namespace
}  // namespace quorvel
