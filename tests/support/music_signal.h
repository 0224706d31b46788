#pragma once

#include <cstdint>
#include <vector>

namespace quorvel::test {

// Generated material that codecs treat like music: chords of decaying partials that
// change every half second, with a low noise floor, so FLAC and Opus work as hard as
// on a real mix (a counter or a pure tone compresses far better than anything heard).
class MusicSignal {
public:
    MusicSignal(std::uint32_t rate, std::uint8_t channels, std::uint32_t seed = 1);
    // The next packet: 20 ms of interleaved samples in [-1, 1].
    std::vector<float> next();

private:
    std::uint32_t rate_;
    std::uint8_t channels_;
    std::uint64_t frame_ = 0;
    std::uint32_t random_;
    double frequencies_[4] = {};
    double phases_[4] = {};
};

// A checked PCM packet (header and 24-bit samples) of `samples` interleaved.
std::vector<std::uint8_t> pcmPacket(const std::vector<float>& samples, std::uint8_t channels, std::uint32_t rate,
                                    std::uint32_t sequence, double timestampMs);

}  // namespace quorvel::test
