#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_pipeline.h"
#include "audio/packet_format.h"
#include "support/allocation_counter.h"
#include "support/manual_executor.h"

namespace quorvel {
namespace {

struct RecordingSink : PacketSink {
    std::vector<packet_format::Header> headers;
    int empty = 0;
    void send(Packet packet) override {
        if (!packet) {
            ++empty;
            return;
        }
        headers.push_back(*packet_format::readHeader(packet.bytes()));
    }
    double serverNowMs() override { return 5000.0; }
};

struct PipelineTest : ::testing::Test {
    test::ManualExecutor main;
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::unique_ptr<AudioPipeline> pipeline = std::make_unique<AudioPipeline>(sink, main);
    std::vector<std::optional<std::string>> problems;
    std::vector<std::int64_t> levelRates;
    std::vector<float> samples = std::vector<float>(8 * 2000, 0.25f);

    void SetUp() override {
        pipeline->onProblem = [this](std::optional<std::string> problem) { problems.push_back(problem); };
        pipeline->onLevel = [this](float, float, std::int64_t rate) { levelRates.push_back(rate); };
    }

    void interleaved(double rate, int channels, std::int64_t frames) {
        AudioBuffer buffer{static_cast<std::uint32_t>(channels), 0, samples.data()};
        pipeline->process(AudioBufferList(&buffer, 1), frames, {rate, channels, true});
    }
};

TEST_F(PipelineTest, AcceptedRatesRoundHalfAwayFromZero) {
    interleaved(44100.0, 2, 882);
    interleaved(44099.5, 2, 882);
    interleaved(48000.4, 2, 960);
    main.runPending();
    ASSERT_EQ(sink->headers.size(), 3u);
    EXPECT_EQ(sink->headers[0].sampleRate, 44100u);
    EXPECT_EQ(sink->headers[1].sequence, 1u);  // same packetizer for 44099.5
    EXPECT_EQ(sink->headers[2].sampleRate, 48000u);
    EXPECT_EQ(sink->headers[2].sequence, 0u);
    EXPECT_DOUBLE_EQ(sink->headers[0].timestampMs, 5000.0 - 20.0);
    EXPECT_EQ(levelRates, (std::vector<std::int64_t>{44100, 44100, 48000}));
    EXPECT_TRUE(problems.empty());
}

TEST_F(PipelineTest, UnsupportedRateReportedOnceAndClearedByNewPacketizer) {
    for (int i = 0; i < 5; ++i) interleaved(22050, 2, 100);
    main.runPending();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "Частота 22 кГц не поддерживается — нужна 44,1 / 48 / 88,2 / 96 кГц");
    EXPECT_TRUE(sink->headers.empty());

    for (double rate : {192000.0, 32000.0, 800.0}) interleaved(rate, 2, 10);
    main.runPending();
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[1], AudioPipeline::unsupportedRateText(192000));
    EXPECT_NE(problems[1]->find(" 192 "), std::string::npos);
    EXPECT_NE(problems[3]->find(" 0 "), std::string::npos);

    interleaved(44100, 2, 10);
    main.runPending();
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[4], std::nullopt);
}

TEST_F(PipelineTest, ReturnToTheSameRateKeepsProblemAndPacketizer) {
    interleaved(48000, 2, 500);
    interleaved(22050, 2, 500);
    interleaved(48000, 2, 460);
    main.runPending();
    ASSERT_EQ(problems.size(), 1u);
    ASSERT_EQ(sink->headers.size(), 1u);  // 500 + 460 frames completed the first packet
    EXPECT_EQ(sink->headers[0].sequence, 0u);
}

TEST_F(PipelineTest, RateChangeDiscardsThePartialPacket) {
    interleaved(48000, 2, 900);
    interleaved(44100, 2, 882);
    ASSERT_EQ(sink->headers.size(), 1u);
    EXPECT_EQ(sink->headers[0].sampleRate, 44100u);
    EXPECT_EQ(sink->headers[0].sequence, 0u);
}

TEST_F(PipelineTest, ChannelCountsPickMonoOrStereo) {
    interleaved(48000, 1, 960);
    EXPECT_EQ(sink->headers.back().channels, 1);
    interleaved(44100, 6, 882);
    EXPECT_EQ(sink->headers.back().channels, 2);
    interleaved(48000, 0, 960);
    EXPECT_EQ(sink->headers.back().channels, 1);
}

TEST_F(PipelineTest, PlanarUsesTwoBuffersAndNullDropsTheBlock) {
    std::vector<float> a(960, 0.1f), b(960, 0.2f);
    std::vector<AudioBuffer> eight(8, AudioBuffer{1, 0, nullptr});
    eight[0].data = a.data();
    eight[1].data = b.data();
    pipeline->process(eight, 960, {48000, 8, false});
    ASSERT_EQ(sink->headers.size(), 1u);
    EXPECT_EQ(sink->headers[0].channels, 2);

    std::vector<AudioBuffer> secondNull = {{1, 0, a.data()}, {1, 0, nullptr}};
    pipeline->process(secondNull, 960, {48000, 2, false});
    pipeline->process(AudioBufferList(), 960, {48000, 2, false});
    EXPECT_EQ(sink->headers.size(), 1u);

    std::vector<AudioBuffer> one = {{1, 0, a.data()}};
    std::vector<float> levels;
    pipeline->onLevel = [&](float left, float right, std::int64_t) { levels = {left, right}; };
    pipeline->process(one, 960, {48000, 2, false});
    main.runPending();
    EXPECT_EQ(levels, (std::vector<float>{0.1f, 0.1f}));
}

TEST_F(PipelineTest, OddBlocksAreIgnored) {
    interleaved(std::numeric_limits<double>::quiet_NaN(), 2, 960);
    interleaved(std::numeric_limits<double>::infinity(), 2, 960);
    interleaved(1e300, 2, 960);
    pipeline->process(AudioBufferList(), 960, {48000, 2, true});
    AudioBuffer null{2, 0, nullptr};
    pipeline->process(AudioBufferList(&null, 1), 960, {48000, 2, true});
    main.runPending();
    EXPECT_TRUE(sink->headers.empty());
    EXPECT_TRUE(problems.empty());
}

TEST_F(PipelineTest, ReportsMadeBeforeDestructionStillArrive) {
    interleaved(48000, 2, 960);
    pipeline.reset();
    main.runPending();
    EXPECT_EQ(levelRates.size(), 1u);
}

TEST_F(PipelineTest, SteadyStateAllocatesNothing) {
    interleaved(96000, 2, 1920);  // warm-up: creates the packetizer
    main.runPending();
    sink->headers.reserve(1000);
    test::AllocationCounter counter;
    for (int block = 0; block < 10 * 96000 / 480; ++block) interleaved(96000, 2, 480);
    EXPECT_EQ(counter.count(), 0u);
    main.runPending();
    EXPECT_EQ(levelRates.size(), 501u);
}

}  // namespace
}  // namespace quorvel
