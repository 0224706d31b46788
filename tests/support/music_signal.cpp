#include "support/music_signal.h"

#include <cmath>
#include <numbers>

#include "audio/packet_format.h"

namespace quorvel::test {

namespace {

std::uint32_t step(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state;
}

double uniform(std::uint32_t& state) {
    return static_cast<double>(step(state) >> 8) / static_cast<double>(1u << 24);
}

}  // namespace

MusicSignal::MusicSignal(std::uint32_t rate, std::uint8_t channels, std::uint32_t seed)
    : rate_(rate), channels_(channels), random_(seed) {}

std::vector<float> MusicSignal::next() {
    const std::uint32_t frames = rate_ / 50;
    const std::uint64_t chordFrames = rate_ / 2;
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels_);
    for (std::uint32_t i = 0; i < frames; ++i, ++frame_) {
        const std::uint64_t inChord = frame_ % chordFrames;
        if (inChord == 0) {
            const double root = 110.0 * std::pow(2.0, std::floor(uniform(random_) * 24) / 12);
            for (int p = 0; p < 4; ++p) frequencies_[p] = root * (1 + p) * (1 + 0.002 * uniform(random_));
        }
        const double decay = std::exp(-3.0 * static_cast<double>(inChord) / static_cast<double>(chordFrames));
        double value = 0;
        for (int p = 0; p < 4; ++p) {
            phases_[p] += 2 * std::numbers::pi * frequencies_[p] / rate_;
            value += 0.25 / (1 + p) * std::sin(phases_[p]);
        }
        value *= 0.3 + 0.7 * decay;
        for (std::uint8_t c = 0; c < channels_; ++c) {
            const double noise = 0.002 * (uniform(random_) - 0.5);
            samples[static_cast<std::size_t>(i) * channels_ + c] = static_cast<float>(value * (1 - 0.2 * c) + noise);
        }
    }
    return samples;
}

std::vector<std::uint8_t> pcmPacket(const std::vector<float>& samples, std::uint8_t channels, std::uint32_t rate,
                                    std::uint32_t sequence, double timestampMs) {
    std::vector<std::uint8_t> packet(packet_format::packetBytes(channels, static_cast<std::int64_t>(samples.size() / channels)));
    packet_format::writeHeader(packet.data(), {channels, rate, sequence, timestampMs});
    float left = 0, right = 0;
    packet_format::encodeSamples(samples.data(), samples.size(), channels, packet.data() + packet_format::kHeaderBytes,
                                 left, right);
    return packet;
}

}  // namespace quorvel::test
