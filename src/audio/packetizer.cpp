#include "audio/packetizer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "audio/packet_format.h"

namespace quorvel {

namespace {

std::int64_t framesFor(std::int64_t sampleRate) {
    if (sampleRate < Packetizer::kMinSampleRate || sampleRate > Packetizer::kMaxSampleRate) return 0;
    return sampleRate / 50;
}

}  // namespace

Packetizer::Packetizer(std::int64_t sampleRate, std::int64_t channels, std::size_t poolPackets)
    : serverNowMs(&Packetizer::wallClockMs),
      sampleRate_(sampleRate),
      channels_(channels < 2 ? 1 : 2),
      framesPerPacket_(framesFor(sampleRate)),
      acc_(static_cast<std::size_t>(channels_ * framesPerPacket_), 0.0f) {
    if (!valid()) return;
    const std::size_t bytes = packet_format::packetBytes(channels_, framesPerPacket_);
    pool_ = PacketPool::create(bytes, poolPackets);
    spill_.resize(bytes);
}

double Packetizer::wallClockMs() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(sinceEpoch).count();
}

// Audio thread: no allocation, no lock, no blocking call.
void Packetizer::push(const float* interleaved, std::int64_t frames, std::int64_t srcChannels) {
    if (!valid() || interleaved == nullptr || frames <= 0 || srcChannels < 1) return;
    const std::int64_t second = std::min<std::int64_t>(srcChannels - 1, 1);
    for (std::int64_t taken = 0; taken < frames;) {
        const std::int64_t count = std::min(frames - taken, framesPerPacket_ - filled_);
        const float* in = interleaved + taken * srcChannels;
        float* out = acc_.data() + filled_ * channels_;
        if (srcChannels == channels_) {
            std::memcpy(out, in, static_cast<std::size_t>(count * channels_) * sizeof(float));
        } else if (channels_ == 1) {
            for (std::int64_t i = 0; i < count; ++i) out[i] = in[i * srcChannels];
        } else {
            for (std::int64_t i = 0; i < count; ++i) {
                out[2 * i] = in[i * srcChannels];
                out[2 * i + 1] = in[i * srcChannels + second];
            }
        }
        taken += count;
        filled_ += count;
        if (filled_ == framesPerPacket_) emit();
    }
}

// Audio thread: no allocation, no lock, no blocking call.
void Packetizer::push(std::span<const float* const> planar, std::int64_t frames) {
    if (!valid() || planar.empty() || frames <= 0) return;
    const float* first = planar[0];
    const float* second = planar[std::min<std::size_t>(planar.size() - 1, 1)];
    if (first == nullptr || second == nullptr) return;
    for (std::int64_t taken = 0; taken < frames;) {
        const std::int64_t count = std::min(frames - taken, framesPerPacket_ - filled_);
        float* out = acc_.data() + filled_ * channels_;
        if (channels_ == 1) {
            std::memcpy(out, first + taken, static_cast<std::size_t>(count) * sizeof(float));
        } else {
            for (std::int64_t i = 0; i < count; ++i) {
                out[2 * i] = first[taken + i];
                out[2 * i + 1] = second[taken + i];
            }
        }
        taken += count;
        filled_ += count;
        if (filled_ == framesPerPacket_) emit();
    }
}

// Audio thread: no allocation, no lock, no blocking call.
void Packetizer::emit() {
    filled_ = 0;
    const std::size_t bytes = spill_.size();
    Packet packet = pool_->acquire(bytes);
    std::uint8_t* out = packet ? packet.mutableBytes().data() : spill_.data();

    const double now = serverNowMs ? serverNowMs() : wallClockMs();
    const double timestamp =
        now + static_cast<double>(framesPerPacket_ * -1000) / static_cast<double>(sampleRate_);
    packet_format::writeHeader(out, {static_cast<std::uint8_t>(channels_),
                                     static_cast<std::uint32_t>(sampleRate_), seq_, timestamp});
    float left = 0.0f;
    float right = 0.0f;
    packet_format::encodeSamples(acc_.data(), acc_.size(), static_cast<int>(channels_),
                                 out + packet_format::kHeaderBytes, left, right);
    ++seq_;
    if (onPacket) onPacket(std::move(packet), left, right);
}

}  // namespace quorvel
