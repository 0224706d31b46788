#pragma once

#include <boost/lockfree/queue.hpp>

#include <array>
#include <cstdint>

#include "audio/packet_pool.h"

namespace quorvel {

// Carries packets from the audio thread to the network queue without allocating or
// locking. Packets wait in a fixed set of slots; the indices of free and filled slots
// travel through two lock-free queues, which only have to hold plain integers.
class PacketHandoff {
public:
    static constexpr std::size_t kSlots = 64;

    PacketHandoff();

    // Any thread, real-time safe. False, leaving `packet` with the caller, when every slot is taken.
    bool push(Packet& packet) noexcept;
    // Consumer side: the oldest waiting packet, or false when none waits.
    bool pop(Packet& out) noexcept;

private:
    using Indices = boost::lockfree::queue<std::uint16_t, boost::lockfree::capacity<kSlots>>;
    std::array<Packet, kSlots> slots_;
    Indices free_;
    Indices filled_;
};

}  // namespace quorvel
