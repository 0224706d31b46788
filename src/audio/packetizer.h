#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "audio/packet_pool.h"

namespace quorvel {

// Cuts 32-bit float frames into 20 ms wire packets (see audio/packet_format.h) and
// hands each finished packet to onPacket with its left and right peaks.
//
// Used from one thread, the capture's audio thread. In steady state push() allocates
// nothing: packet buffers come from the packetizer's pool and return to it when the
// consumer drops them. A packet that finds the pool empty is still numbered and
// metered, and reaches onPacket as an empty Packet.
class Packetizer {
public:
    using OnPacket = std::function<void(Packet packet, float left, float right)>;
    using ServerNowMs = std::function<double()>;

    // Rates outside [kMinSampleRate, kMaxSampleRate] make an inert packetizer whose
    // pushes do nothing (valid() is false).
    static constexpr std::int64_t kMinSampleRate = 50;
    static constexpr std::int64_t kMaxSampleRate = 768000;
    static constexpr std::size_t kDefaultPoolPackets = 64;

    Packetizer(std::int64_t sampleRate, std::int64_t channels,
               std::size_t poolPackets = kDefaultPoolPackets);

    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t channels() const { return channels_; }
    std::int64_t framesPerPacket() const { return framesPerPacket_; }
    bool valid() const { return framesPerPacket_ > 0; }

    // Frame i, packet channel c takes interleaved[i * srcChannels + min(srcChannels - 1, c)].
    void push(const float* interleaved, std::int64_t frames, std::int64_t srcChannels);
    // Frame i, packet channel c takes planar[min(planar.size() - 1, c)][i].
    void push(std::span<const float* const> planar, std::int64_t frames);

    OnPacket onPacket;
    ServerNowMs serverNowMs;  // defaults to the local wall clock

    static double wallClockMs();

private:
    void emit();

    std::int64_t sampleRate_;
    std::int64_t channels_;
    std::int64_t framesPerPacket_;
    std::vector<float> acc_;
    std::int64_t filled_ = 0;
    std::uint32_t seq_ = 0;
    std::shared_ptr<PacketPool> pool_;
    std::vector<std::uint8_t> spill_;  // encodes a packet that found the pool empty
};

}  // namespace quorvel
