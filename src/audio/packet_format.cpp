#include "audio/packet_format.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel::packet_format {

static_assert(std::endian::native == std::endian::little, "the wire format is written natively");

void writeHeader(std::uint8_t* out, const Header& header) {
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = header.channels;
    out[3] = 0;
    std::memcpy(out + 4, &header.sampleRate, 4);
    std::memcpy(out + 8, &header.sequence, 4);
    std::memcpy(out + 12, &header.timestampMs, 8);
}

std::optional<Header> readHeader(std::span<const std::uint8_t> packet) {
    if (packet.size() < kHeaderBytes) return std::nullopt;
    const std::uint8_t* in = packet.data();
    if (in[0] != kMagic0 || in[1] != kMagic1 || in[3] != 0) return std::nullopt;
    Header header;
    header.channels = in[2];
    std::memcpy(&header.sampleRate, in + 4, 4);
    std::memcpy(&header.sequence, in + 8, 4);
    std::memcpy(&header.timestampMs, in + 12, 8);
    if (header.channels != 1 && header.channels != 2) return std::nullopt;
    if (header.sampleRate < 50 || !std::isfinite(header.timestampMs)) return std::nullopt;
    const std::size_t frameBytes = 3u * header.channels;
    const std::size_t sampleBytes = packet.size() - kHeaderBytes;
    if (sampleBytes == 0 || sampleBytes % frameBytes != 0) return std::nullopt;
    return header;
}

namespace {

// Block of samples handled at once by the vectorised loops: 8 samples make 24 bytes,
// three 64-bit stores.
constexpr std::size_t kBlock = 8;

// NaN/inf -> 0, clamp, scale, round half away from zero. Written branch-free on
// plain arrays so that the compiler turns each loop into SIMD.
inline void quantizeBlock(const float* in, std::int32_t* q, float* peaks) {
    for (std::size_t i = 0; i < kBlock; ++i) {
        float x = in[i];
        x = std::fabs(x) <= std::numeric_limits<float>::max() ? x : 0.0f;
        x = x > 1.0f ? 1.0f : x;
        x = x < -1.0f ? -1.0f : x;
        const float magnitude = std::fabs(x);
        peaks[i] = magnitude > peaks[i] ? magnitude : peaks[i];
        const float scaled = x * kScale;
        std::int32_t whole = static_cast<std::int32_t>(scaled);
        const float fraction = scaled - static_cast<float>(whole);
        whole += (fraction >= 0.5f ? 1 : 0) - (fraction <= -0.5f ? 1 : 0);
        q[i] = whole;
    }
}

inline std::uint64_t low24(std::int32_t value) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(value) & 0xFFFFFFu);
}

inline void packBlock(const std::int32_t* q, std::uint8_t* out) {
    const std::uint64_t w0 = low24(q[0]) | low24(q[1]) << 24 | low24(q[2]) << 48;
    const std::uint64_t w1 = low24(q[2]) >> 16 | low24(q[3]) << 8 | low24(q[4]) << 32 | low24(q[5]) << 56;
    const std::uint64_t w2 = low24(q[5]) >> 8 | low24(q[6]) << 16 | low24(q[7]) << 40;
    std::memcpy(out, &w0, 8);
    std::memcpy(out + 8, &w1, 8);
    std::memcpy(out + 16, &w2, 8);
}

}  // namespace

void encodeSamples(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                   float& left, float& right) {
    // Lane i of `peaks` holds the peak of samples whose index is i modulo kBlock; kBlock
    // is even, so for stereo the even lanes are channel 0 and the odd lanes channel 1.
    alignas(32) float peaks[kBlock] = {};
    alignas(32) std::int32_t q[kBlock];
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        quantizeBlock(samples + i, q, peaks);
        packBlock(q, out + 3 * i);
    }
    if (i < count) {
        alignas(32) float tail[kBlock] = {};
        std::memcpy(tail, samples + i, (count - i) * sizeof(float));
        alignas(32) std::uint8_t packed[3 * kBlock];
        quantizeBlock(tail, q, peaks);  // zero padding adds nothing to the peaks
        packBlock(q, packed);
        std::memcpy(out + 3 * i, packed, 3 * (count - i));
    }
    left = 0.0f;
    right = 0.0f;
    for (std::size_t lane = 0; lane < kBlock; ++lane) {
        float& peak = (channels == 1 || lane % 2 == 0) ? left : right;
        peak = peaks[lane] > peak ? peaks[lane] : peak;
    }
    if (channels == 1) right = left;
}

}  // namespace quorvel::packet_format
