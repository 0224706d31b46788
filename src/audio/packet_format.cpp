#include "audio/packet_format.h"
#include "audio/sample_encoders.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>



namespace quorvel::packet_format {

static_assert(std::endian::native == std::endian::little, "the wire format is written natively");

void writeHeader(std::uint8_t* out, const Header& header) {
    out[0] = kMagic0;
    out[1] = static_cast<std::uint8_t>(header.codec);
    out[2] = header.channels;
    out[3] = 0;
    std::memcpy(out + 4, &header.sampleRate, 4);
    std::memcpy(out + 8, &header.sequence, 4);
    std::memcpy(out + 12, &header.timestampMs, 8);
}

std::optional<Header> readAnyHeader(std::span<const std::uint8_t> packet) {
    if (packet.size() < kHeaderBytes) return std::nullopt;
    const std::uint8_t* in = packet.data();
    if (in[0] != kMagic0 || in[1] < 0x01 || in[1] > 0x03 || in[3] != 0) return std::nullopt;
    Header header;
    header.codec = static_cast<Codec>(in[1]);
    header.channels = in[2];
    std::memcpy(&header.sampleRate, in + 4, 4);
    std::memcpy(&header.sequence, in + 8, 4);
    std::memcpy(&header.timestampMs, in + 12, 8);
    if (header.channels != 1 && header.channels != 2) return std::nullopt;
    if (header.sampleRate < 50 || !std::isfinite(header.timestampMs)) return std::nullopt;
    const std::size_t frameBytes = header.codec == Codec::pcm ? 3u * header.channels : 1u;
    const std::size_t sampleBytes = packet.size() - kHeaderBytes;
    if (sampleBytes == 0 || sampleBytes % frameBytes != 0) return std::nullopt;
    return header;
}

std::optional<Header> readHeader(std::span<const std::uint8_t> packet) {
    auto header = readAnyHeader(packet);
    if (header && header->codec != Codec::pcm) return std::nullopt;
    return header;
}

namespace {

std::vector<SampleEncoder> supportedEncoders() {
    std::vector<SampleEncoder> encoders;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) encoders.push_back({"avx2", &encodeSamplesAvx2});
    if (__builtin_cpu_supports("ssse3")) encoders.push_back({"ssse3", &encodeSamplesSsse3});
#endif
    encoders.push_back({"portable", &encodeSamplesPortable});
    return encoders;
}

// Fastest first; chosen during static initialisation, so the audio thread only reads it.
const std::vector<SampleEncoder> encoders = supportedEncoders();
const SampleEncoder::Function encoder = encoders.front().encode;

}  // namespace

void encodeSamples(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                   float& left, float& right) {
    encoder(samples, count, channels, out, left, right);
}

std::span<const SampleEncoder> availableEncoders() {
    return encoders;
}

}  // namespace quorvel::packet_format
