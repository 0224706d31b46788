#if defined(__x86_64__)
#include "audio/sample_encoder_impl.h"
#include "audio/sample_encoders.h"

namespace quorvel::packet_format {

void encodeSamplesAvx2(const float* samples, std::size_t count, int channels, std::uint8_t* out, float& left,
                     float& right) {
    encode(samples, count, channels, out, left, right);
}

}  // namespace quorvel::packet_format
#endif
