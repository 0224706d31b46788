#include "audio/packet_format.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Vectors of 4 (SSE2/NEON) or 8 (AVX2) lanes through GCC's vector extensions: the
// same source serves every width, and the compiler emits the packed instructions.
using Floats4 = float __attribute__((vector_size(16)));
using Ints4 = std::int32_t __attribute__((vector_size(16)));
using Words2 = std::uint64_t __attribute__((vector_size(16)));
using Floats8 = float __attribute__((vector_size(32)));
using Ints8 = std::int32_t __attribute__((vector_size(32)));

// NaN/inf -> 0, clamp to [-1, 1], track the peak per lane, scale, and round half
// away from zero: truncate, then step away from zero when the dropped fraction is
// at least one half. Every step is exact in float for |x * scale| < 2^23.
template <typename Floats, typename Ints>
inline Ints quantize(Floats x, Floats& peaks) {
    const Ints magnitudeBits = reinterpret_cast<Ints>(x) & 0x7FFFFFFF;
    const Ints finite = magnitudeBits < 0x7F800000;  // all ones where finite
    x = reinterpret_cast<Floats>(reinterpret_cast<Ints>(x) & finite);
    // Written as a < b ? a : b so that they map onto min/max instructions.
    const Floats one = Floats{} + 1.0f;
    const Floats minusOne = Floats{} - 1.0f;
    x = x < one ? x : one;
    x = minusOne < x ? x : minusOne;
    const Floats magnitude = reinterpret_cast<Floats>(reinterpret_cast<Ints>(x) & 0x7FFFFFFF);
    peaks = peaks < magnitude ? magnitude : peaks;
    const Floats scaled = x * kScale;
    Ints whole = __builtin_convertvector(scaled, Ints);
    const Floats fraction = scaled - __builtin_convertvector(whole, Floats);
    whole -= fraction >= 0.5f;  // a true comparison is -1
    whole += fraction <= -0.5f;
    return whole;
}

// Each packing writes a vector of samples as 3 bytes each, plus at most 4 bytes of
// scratch after them that the next write (or the loop's tail buffer) covers.

// Plain shifts and masks on 4 lanes.
struct PortablePack {
    using Floats = Floats4;
    using Ints = Ints4;
    static void pack(Ints q, std::uint8_t* out) {
        Words2 words = reinterpret_cast<Words2>(q & 0xFFFFFF);
        // Each 64-bit lane holds samples a (low) and b (at bit 32); move b down to bit 24.
        words = (words & 0xFFFFFFu) | ((words >> 8) & 0xFFFFFF000000u);
        const std::uint64_t first = words[0];
        const std::uint64_t second = words[1];
        std::memcpy(out, &first, 8);
        std::memcpy(out + 6, &second, 8);
    }
};

// The encode loop for one packing method; the tail goes through a scratch buffer so
// that the wide stores never pass the end of `out`.
template <typename Packing>
inline void encodeWith(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                       float& left, float& right) {
    using Floats = typename Packing::Floats;
    constexpr std::size_t lanes = sizeof(Floats) / sizeof(float);
    // Lane i of `peaks` holds the peak of samples whose index is i modulo the lane
    // count (even); for stereo the even lanes are channel 0 and the odd ones channel 1.
    Floats peaks{};
    std::size_t i = 0;
    for (; i + lanes + 2 <= count; i += lanes) {
        Floats x;
        std::memcpy(&x, samples + i, sizeof x);
        Packing::pack(quantize<Floats, typename Packing::Ints>(x, peaks), out + 3 * i);
    }
    if (i < count) {
        float tail[2 * lanes] = {};
        std::uint8_t packed[6 * lanes + 4];
        std::memcpy(tail, samples + i, (count - i) * sizeof(float));
        for (std::size_t half = 0; half < 2; ++half) {  // zero padding adds nothing to the peaks
            Floats x;
            std::memcpy(&x, tail + half * lanes, sizeof x);
            Packing::pack(quantize<Floats, typename Packing::Ints>(x, peaks), packed + 3 * lanes * half);
        }
        std::memcpy(out + 3 * i, packed, 3 * (count - i));
    }
    left = 0.0f;
    right = 0.0f;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        float& peak = (channels == 1 || lane % 2 == 0) ? left : right;
        peak = peaks[lane] > peak ? peaks[lane] : peak;
    }
    if (channels == 1) right = left;
}

using Encoder = SampleEncoder::Function;

void encodePortable(const float* samples, std::size_t count, int channels, std::uint8_t* out, float& left,
                    float& right) {
    encodeWith<PortablePack>(samples, count, channels, out, left, right);
}

#if defined(__x86_64__)
// A byte shuffle gathers the low three bytes of each 32-bit lane, per 128-bit half.
struct Avx2Pack {
    using Floats = Floats8;
    using Ints = Ints8;
    __attribute__((target("avx2"))) static void pack(Ints q, std::uint8_t* out) {
        const __m256i order = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                               0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        const __m256i packed = _mm256_shuffle_epi8(reinterpret_cast<__m256i>(q), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(packed, 1));
    }
};

struct ShufflePack {
    using Floats = Floats4;
    using Ints = Ints4;
    __attribute__((target("ssse3"))) static void pack(Ints q, std::uint8_t* out) {
        const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(reinterpret_cast<__m128i>(q), order));
    }
};

__attribute__((target("avx2"))) void encodeAvx2(const float* samples, std::size_t count, int channels,
                                                std::uint8_t* out, float& left, float& right) {
    encodeWith<Avx2Pack>(samples, count, channels, out, left, right);
}

__attribute__((target("ssse3"))) void encodeShuffle(const float* samples, std::size_t count, int channels,
                                                    std::uint8_t* out, float& left, float& right) {
    encodeWith<ShufflePack>(samples, count, channels, out, left, right);
}

std::vector<SampleEncoder> supportedEncoders() {
    __builtin_cpu_init();
    std::vector<SampleEncoder> encoders;
    if (__builtin_cpu_supports("avx2")) encoders.push_back({"avx2", &encodeAvx2});
    if (__builtin_cpu_supports("ssse3")) encoders.push_back({"ssse3", &encodeShuffle});
    encoders.push_back({"portable", &encodePortable});
    return encoders;
}
#else
std::vector<SampleEncoder> supportedEncoders() { return {{"portable", &encodePortable}}; }
#endif

// Fastest first; chosen during static initialisation, so the audio thread only reads it.
const std::vector<SampleEncoder> encoders = supportedEncoders();
const Encoder encoder = encoders.front().encode;

}  // namespace

void encodeSamples(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                   float& left, float& right) {
    encoder(samples, count, channels, out, left, right);
}

std::span<const SampleEncoder> availableEncoders() {
    return encoders;
}

}  // namespace quorvel::packet_format
