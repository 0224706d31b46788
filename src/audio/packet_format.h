#pragma once

// The audio packet on the wire, one binary WebSocket message per packet:
//
//   offset size  content (little-endian)
//   0      1     0x01
//   1      1     codec: 0x01 PCM, 0x02 FLAC, 0x03 Opus (the studio always sends PCM)
//   2      1     channel count (1 or 2)
//   3      1     0 (reserved)
//   4      4     sample rate in Hz of the decoded audio, unsigned
//   8      4     sequence number, unsigned, wraps to 0
//   12     8     binary64: server time in ms since 1970 of the first decoded frame
//   20     …     PCM: samples, signed 24-bit two's complement, interleaved frame by frame;
//                FLAC: one frame; Opus: one packet (see relay/link_forms.h)
//
// A sample is float x: NaN and infinities become 0, x is clamped to [-1, 1],
// multiplied by 8388607 in float arithmetic and rounded half away from zero.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvel::packet_format {

inline constexpr std::size_t kHeaderBytes = 20;
inline constexpr std::uint8_t kMagic0 = 0x01;
enum class Codec : std::uint8_t { pcm = 0x01, flac = 0x02, opus = 0x03 };
inline constexpr float kScale = 8388607.0f;  // 2^23 - 1: -8388608 is never written

inline constexpr std::size_t packetBytes(std::int64_t channels, std::int64_t framesPerPacket) {
    return kHeaderBytes + 3 * static_cast<std::size_t>(channels * framesPerPacket);
}

struct Header {
    std::uint8_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t sequence = 0;
    double timestampMs = 0;
    Codec codec = Codec::pcm;
};

void writeHeader(std::uint8_t* out, const Header& header);

// Reads and checks a received packet: magic bytes, 1 or 2 channels, reserved 0, a
// rate of at least 50 Hz and a sample area of exactly a whole number of frames.
std::optional<Header> readHeader(std::span<const std::uint8_t> packet);
// The same for a packet of any codec; a FLAC or Opus payload need only be non-empty.
std::optional<Header> readAnyHeader(std::span<const std::uint8_t> packet);

// Encodes `count` interleaved samples of `channels` channels (1 or 2) into 3-byte
// samples at `out`, and returns the peaks of the clamped values: channel 0 in
// `left`, every other channel in `right`. Allocates nothing; safe on the audio thread.
void encodeSamples(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                   float& left, float& right);

// Every implementation of encodeSamples this CPU can run, fastest (the one in use)
// first; tests hold each to one reference.
struct SampleEncoder {
    using Function = void (*)(const float*, std::size_t, int, std::uint8_t*, float&, float&);
    const char* name;
    Function encode;
};
std::span<const SampleEncoder> availableEncoders();

// Sample value of the 3-byte little-endian field at `in`, sign-extended.
inline std::int32_t decodeSample(const std::uint8_t* in) {
    const std::uint32_t raw = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16;
    return static_cast<std::int32_t>(raw << 8) >> 8;
}

}  // namespace quorvel::packet_format
