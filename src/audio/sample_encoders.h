#pragma once

// The builds of packet_format::encodeSamples, one translation unit each, compiled
// for different instruction sets; packet_format.cpp picks one at start-up.

#include <cstddef>
#include <cstdint>

namespace quorvel::packet_format {

void encodeSamplesPortable(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                           float& left, float& right);
#if defined(__x86_64__)
void encodeSamplesSsse3(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                        float& left, float& right);
void encodeSamplesAvx2(const float* samples, std::size_t count, int channels, std::uint8_t* out,
                       float& left, float& right);
#endif

}  // namespace quorvel::packet_format
