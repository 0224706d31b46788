#pragma once

// The sample encoder, written once over GCC's vector extensions and included by one
// translation unit per instruction set (sample_encoder_*.cpp), each compiled with its
// own -m flags. Everything here has internal linkage on purpose: the same inline code
// built for different instruction sets must never be merged by the linker.

#include <cstdint>
#include <cstring>

#include "audio/packet_format.h"

#if defined(__SSSE3__) || defined(__AVX2__)
#include <immintrin.h>
#endif

namespace quorvel::packet_format {
namespace {

#if defined(__AVX2__)
constexpr std::size_t kLanes = 8;
#else
constexpr std::size_t kLanes = 4;
#endif

using Floats = float __attribute__((vector_size(4 * kLanes)));
using Ints = std::int32_t __attribute__((vector_size(4 * kLanes)));

// NaN/inf -> 0, clamp to [-1, 1], track the peak per lane, scale, and round half
// away from zero: truncate, then step away from zero when the dropped fraction is
// at least one half. Every step is exact in float for |x * scale| < 2^23.
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

// Writes the lanes as 3 bytes each, plus at most 4 bytes of scratch after them that
// the next write (or the tail buffer) covers.
inline void pack(Ints q, std::uint8_t* out) {
#if defined(__AVX2__)
    // A byte shuffle gathers the low three bytes of each lane, per 128-bit half.
    const __m256i order = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i packed = _mm256_shuffle_epi8(reinterpret_cast<__m256i>(q), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(packed, 1));
#elif defined(__SSSE3__)
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(reinterpret_cast<__m128i>(q), order));
#else
    using Words = std::uint64_t __attribute__((vector_size(16)));
    Words words = reinterpret_cast<Words>(q & 0xFFFFFF);
    // Each 64-bit lane holds samples a (low) and b (at bit 32); move b down to bit 24.
    words = (words & 0xFFFFFFu) | ((words >> 8) & 0xFFFFFF000000u);
    const std::uint64_t first = words[0];
    const std::uint64_t second = words[1];
    std::memcpy(out, &first, 8);
    std::memcpy(out + 6, &second, 8);
#endif
}

inline void encode(const float* samples, std::size_t count, int channels, std::uint8_t* out, float& left,
                   float& right) {
    // Lane i of `peaks` holds the peak of samples whose index is i modulo the lane
    // count (even): for stereo the even lanes are channel 0 and the odd ones channel 1.
    Floats peaks{};
    std::size_t i = 0;
    // Stop while the wide stores still end inside `out`; the tail goes through scratch.
    for (; i + kLanes + 2 <= count; i += kLanes) {
        Floats x;
        std::memcpy(&x, samples + i, sizeof x);
        pack(quantize(x, peaks), out + 3 * i);
    }
    if (i < count) {
        float tail[2 * kLanes] = {};
        std::uint8_t packed[6 * kLanes + 4];
        std::memcpy(tail, samples + i, (count - i) * sizeof(float));
        for (std::size_t half = 0; half < 2; ++half) {  // zero padding adds nothing to the peaks
            Floats x;
            std::memcpy(&x, tail + half * kLanes, sizeof x);
            pack(quantize(x, peaks), packed + 3 * kLanes * half);
        }
        std::memcpy(out + 3 * i, packed, 3 * (count - i));
    }
    left = 0.0f;
    right = 0.0f;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        float& peak = (channels == 1 || lane % 2 == 0) ? left : right;
        peak = peaks[lane] > peak ? peaks[lane] : peak;
    }
    if (channels == 1) right = left;
}

}  // namespace
}  // namespace quorvel::packet_format
