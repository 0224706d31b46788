#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/packet_format.h"

namespace quorvel::net {

// What a listener counts of the binary messages the relay sends it.
struct ListenStats {
    std::uint64_t received = 0;
    std::uint64_t lost = 0;       // sequence numbers skipped
    std::uint64_t malformed = 0;  // binary messages that are not packets
    // Per packet: arrival on the relay's clock minus the packet's timestamp (which
    // dates its first frame, so 20 ms of it is the packet's own length).
    std::vector<double> latencyMs;
    // The sequence number the next packet should carry.
    std::optional<std::uint32_t> nextSequence;

    // Counts one binary message; the packet's header when it is one.
    std::optional<packet_format::Header> count(std::span<const std::uint8_t> bytes);
    // A new broadcast numbers its packets from 0 again.
    void restart() { nextSequence.reset(); }
};

}  // namespace quorvel::net
