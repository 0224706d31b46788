#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "audio/packet_format.h"
#include "audio/packetizer.h"
#include "support/allocation_counter.h"

namespace quorvel {
namespace {

struct Emitted {
    std::vector<std::uint8_t> bytes;
    float left;
    float right;
};

// Collects every packet a packetizer emits.
struct Collector {
    std::vector<Emitted> packets;
    void attach(Packetizer& packetizer) {
        packetizer.onPacket = [this](Packet packet, float left, float right) {
            ASSERT_TRUE(packet);
            packets.push_back({{packet.bytes().begin(), packet.bytes().end()}, left, right});
        };
    }
};

// The plain per-sample encoder the fast one is held to.
std::int32_t referenceQuantize(float x) {
    if (std::isnan(x) || std::isinf(x)) x = 0.0f;
    if (x >= 1.0f) x = 1.0f;
    if (x < -1.0f) x = -1.0f;
    const float scaled = x * 8388607.0f;
    return static_cast<std::int32_t>(std::round(static_cast<double>(scaled)));
}

std::uint32_t u32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

double f64(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    double value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
}

std::vector<std::uint8_t> sampleBytes(const Emitted& packet, std::size_t index) {
    const auto* at = packet.bytes.data() + 20 + 3 * index;
    return {at[0], at[1], at[2]};
}

TEST(PacketizerTest, SizesAndHeaderAtEachRate) {
    struct Case { std::int64_t rate, channels, frames; std::size_t bytes; };
    for (const Case c : {Case{44100, 1, 882, 2666}, Case{48000, 2, 960, 5780}, Case{88200, 2, 1764, 10604},
                         Case{96000, 1, 1920, 5780}, Case{44100, 2, 882, 5312}}) {
        Packetizer packetizer(c.rate, c.channels);
        Collector out;
        out.attach(packetizer);
        packetizer.serverNowMs = [] { return 1'700'000'000'000.0; };
        EXPECT_EQ(packetizer.framesPerPacket(), c.frames);
        std::vector<float> silence(static_cast<std::size_t>(c.frames * c.channels), 0.0f);
        packetizer.push(silence.data(), c.frames, c.channels);
        ASSERT_EQ(out.packets.size(), 1u);
        const auto& bytes = out.packets[0].bytes;
        ASSERT_EQ(bytes.size(), c.bytes);
        EXPECT_EQ(bytes[0], 0x01);
        EXPECT_EQ(bytes[1], 0x01);
        EXPECT_EQ(bytes[2], c.channels);
        EXPECT_EQ(bytes[3], 0);
        EXPECT_EQ(u32(bytes, 4), static_cast<std::uint32_t>(c.rate));
        EXPECT_EQ(u32(bytes, 8), 0u);
        EXPECT_DOUBLE_EQ(f64(bytes, 12), 1'700'000'000'000.0 - 20.0);
    }
}

TEST(PacketizerTest, RequestedChannelsBecomeMonoOrStereo) {
    for (std::int64_t requested : {-3, 0, 1}) EXPECT_EQ(Packetizer(48000, requested).channels(), 1);
    for (std::int64_t requested : {2, 6, 8}) EXPECT_EQ(Packetizer(48000, requested).channels(), 2);
}

TEST(PacketizerTest, SampleEncodingEdges) {
    Packetizer packetizer(50, 1);  // one frame per packet
    Collector out;
    out.attach(packetizer);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::pair<float, std::vector<std::uint8_t>>> cases = {
        {1.0f, {0xFF, 0xFF, 0x7F}}, {1.5f, {0xFF, 0xFF, 0x7F}},  {-1.0f, {0x01, 0x00, 0x80}},
        {-2.0f, {0x01, 0x00, 0x80}}, {0.5f, {0x00, 0x00, 0x40}}, {-0.5f, {0x00, 0x00, 0xC0}},
        {nan, {0, 0, 0}},           {inf, {0, 0, 0}},           {-inf, {0, 0, 0}},
        {0.0f, {0, 0, 0}},          {-0.0f, {0, 0, 0}},
        // 1/8388607 and just under half a step either way of zero.
        {1.0f / 8388607.0f, {0x01, 0, 0}}, {-1.0f / 8388607.0f, {0xFF, 0xFF, 0xFF}},
    };
    for (const auto& [value, expected] : cases) {
        out.packets.clear();
        packetizer.push(&value, 1, 1);
        ASSERT_EQ(out.packets.size(), 1u);
        EXPECT_EQ(sampleBytes(out.packets[0], 0), expected) << "value " << value;
        const float peak = std::isfinite(value) ? std::min(std::fabs(value), 1.0f) : 0.0f;
        EXPECT_FLOAT_EQ(out.packets[0].left, peak);
        EXPECT_FLOAT_EQ(out.packets[0].right, peak);
    }
}

TEST(PacketizerTest, FastEncoderMatchesReferenceOnEveryRoundingEdge) {
    std::vector<float> values;
    // Every half step of the scale and its float neighbours, across the whole range.
    for (std::int32_t k = -8388607; k <= 8388607; k += 4099) {
        const float half = (static_cast<float>(k) + 0.5f) / 8388607.0f;
        values.push_back(half);
        values.push_back(std::nextafter(half, 2.0f));
        values.push_back(std::nextafter(half, -2.0f));
        values.push_back(static_cast<float>(k) / 8388607.0f);
    }
    std::mt19937 random(7);
    std::uniform_real_distribution<float> wide(-1.2f, 1.2f);
    for (int i = 0; i < 200000; ++i) values.push_back(wide(random));
    for (float special : {1.0f, -1.0f, std::nextafter(1.0f, 0.0f), std::nextafter(-1.0f, 0.0f),
                          std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(), std::numeric_limits<float>::quiet_NaN()})
        values.push_back(special);

    for (const auto& [name, encode] : packet_format::availableEncoders()) {
        SCOPED_TRACE(name);
        for (int channels : {1, 2}) {
            // Odd lengths exercise every tail size of the vector loop.
            for (std::size_t length : {values.size(), values.size() - 1, values.size() - 3, std::size_t{5}}) {
                std::vector<std::uint8_t> encoded(length * 3 + 1, 0xEE);
                float left = 0;
                float right = 0;
                encode(values.data(), length, channels, encoded.data(), left, right);
                ASSERT_EQ(encoded.back(), 0xEE) << "wrote past the end";
                float expectLeft = 0;
                float expectRight = 0;
                for (std::size_t i = 0; i < length; ++i) {
                    ASSERT_EQ(packet_format::decodeSample(&encoded[3 * i]), referenceQuantize(values[i]))
                        << "value " << values[i];
                    const float x = values[i];
                    const float magnitude = std::isfinite(x) ? std::min(std::fabs(x), 1.0f) : 0.0f;
                    float& peak = (channels == 1 || i % 2 == 0) ? expectLeft : expectRight;
                    peak = std::max(peak, magnitude);
                }
                EXPECT_EQ(left, expectLeft);
                EXPECT_EQ(right, channels == 1 ? expectLeft : expectRight);
            }
        }
    }
}

TEST(PacketizerTest, PacketsSpanPushesAndCountUp) {
    Packetizer packetizer(48000, 2);
    Collector out;
    out.attach(packetizer);
    std::vector<float> block(2 * 1000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i % 2000) / 4000.0f;
    packetizer.push(block.data(), 1000, 2);
    ASSERT_EQ(out.packets.size(), 1u);
    packetizer.push(block.data(), 920, 2);
    ASSERT_EQ(out.packets.size(), 2u);
    EXPECT_EQ(u32(out.packets[1].bytes, 8), 1u);
    // The second packet starts with the 40 frames left over from the first push.
    EXPECT_EQ(packet_format::decodeSample(out.packets[1].bytes.data() + 20),
              referenceQuantize(block[2 * 960]));
    EXPECT_EQ(packet_format::decodeSample(out.packets[1].bytes.data() + 20 + 3 * 80),
              referenceQuantize(block[0]));
}

TEST(PacketizerTest, ChannelMappingForBothPushes) {
    Packetizer packetizer(50, 2);
    Collector out;
    out.attach(packetizer);
    const float mono = 0.25f;
    packetizer.push(&mono, 1, 1);
    ASSERT_EQ(out.packets.size(), 1u);
    EXPECT_EQ(sampleBytes(out.packets[0], 0), sampleBytes(out.packets[0], 1));
    EXPECT_EQ(out.packets[0].left, out.packets[0].right);

    const float four[] = {0.1f, -0.2f, 0.9f, 0.9f};
    packetizer.push(four, 1, 4);
    EXPECT_EQ(packet_format::decodeSample(out.packets[1].bytes.data() + 20), referenceQuantize(0.1f));
    EXPECT_EQ(packet_format::decodeSample(out.packets[1].bytes.data() + 23), referenceQuantize(-0.2f));
    EXPECT_FLOAT_EQ(out.packets[1].left, 0.1f);
    EXPECT_FLOAT_EQ(out.packets[1].right, 0.2f);

    const float only[] = {-0.75f};
    const float* one[] = {only};
    packetizer.push(std::span<const float* const>(one), 1);
    EXPECT_EQ(sampleBytes(out.packets[2], 0), sampleBytes(out.packets[2], 1));

    const float a[] = {0.3f};
    const float b[] = {-0.8f};
    const float c[] = {1.0f};
    const float* three[] = {a, b, c};
    packetizer.push(std::span<const float* const>(three), 1);
    EXPECT_FLOAT_EQ(out.packets[3].left, 0.3f);
    EXPECT_FLOAT_EQ(out.packets[3].right, 0.8f);
}

TEST(PacketizerTest, PeaksPerChannel) {
    Packetizer packetizer(48000, 2);
    Collector out;
    out.attach(packetizer);
    std::vector<float> block(2 * 960);
    for (std::size_t frame = 0; frame < 960; ++frame) {
        block[2 * frame] = frame % 2 ? 0.3f : -0.3f;
        block[2 * frame + 1] = frame % 3 ? -0.8f : 0.1f;
    }
    packetizer.push(block.data(), 960, 2);
    ASSERT_EQ(out.packets.size(), 1u);
    EXPECT_FLOAT_EQ(out.packets[0].left, 0.3f);
    EXPECT_FLOAT_EQ(out.packets[0].right, 0.8f);
}

TEST(PacketizerTest, WallClockByDefault) {
    Packetizer packetizer(48000, 1);
    Collector out;
    out.attach(packetizer);
    std::vector<float> block(960);
    const double before = Packetizer::wallClockMs();
    packetizer.push(block.data(), 960, 1);
    const double after = Packetizer::wallClockMs();
    ASSERT_EQ(out.packets.size(), 1u);
    const double stamp = f64(out.packets[0].bytes, 12);
    EXPECT_GE(stamp, before - 20.0);
    EXPECT_LE(stamp, after - 20.0);
}

TEST(PacketizerTest, BrokenCallerObligationsAreRefusedSafely) {
    Packetizer packetizer(48000, 2);
    Collector out;
    out.attach(packetizer);
    const float sample = 0.5f;
    packetizer.push(&sample, -5, 1);
    packetizer.push(&sample, 1, 0);
    packetizer.push(&sample, 1, -2);
    packetizer.push(nullptr, 10, 2);
    packetizer.push(std::span<const float* const>(), 10);
    const float* nulls[] = {nullptr, nullptr};
    packetizer.push(std::span<const float* const>(nulls), 10);
    EXPECT_TRUE(out.packets.empty());

    for (std::int64_t rate : {std::int64_t{0}, std::int64_t{49}, std::int64_t{-48000},
                              std::int64_t{1} << 40}) {
        Packetizer inert(rate, 2);
        EXPECT_FALSE(inert.valid());
        Collector none;
        none.attach(inert);
        std::vector<float> block(4096);
        inert.push(block.data(), 2048, 2);
        EXPECT_TRUE(none.packets.empty());
    }
}

TEST(PacketizerTest, ExhaustedPoolStillNumbersAndMetersPackets) {
    Packetizer packetizer(50, 1, 2);
    std::vector<Packet> held;
    std::vector<float> lefts;
    int empty = 0;
    packetizer.onPacket = [&](Packet packet, float left, float) {
        lefts.push_back(left);
        if (packet) held.push_back(std::move(packet));
        else ++empty;
    };
    const float sample = 0.5f;
    for (int i = 0; i < 4; ++i) packetizer.push(&sample, 1, 1);
    EXPECT_EQ(held.size(), 2u);
    EXPECT_EQ(empty, 2);
    EXPECT_EQ(lefts, std::vector<float>(4, 0.5f));
    held.clear();  // buffers return to the pool
    packetizer.push(&sample, 1, 1);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].bytes()[8], 4);  // sequence went on counting through the drops
}

TEST(PacketizerTest, SteadyStateAllocatesNothing) {
    Packetizer packetizer(96000, 2);
    std::size_t packets = 0;
    packetizer.onPacket = [&](Packet, float, float) { ++packets; };
    std::vector<float> block(2 * 256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = std::sin(static_cast<float>(i) * 0.01f);
    const float* planar[] = {block.data(), block.data() + 256};

    packetizer.push(block.data(), 256, 2);  // warm-up
    test::AllocationCounter counter;
    const std::int64_t tenSeconds = 96000 * 10;
    for (std::int64_t frames = 0; frames < tenSeconds; frames += 256) {
        packetizer.push(block.data(), 256, 2);
        packetizer.push(std::span<const float* const>(planar), 256);
    }
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_GE(packets, 999u);
}

}  // namespace
}  // namespace quorvel
