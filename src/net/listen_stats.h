#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/packet_format.h"

namespace quorvel::net {

// Audio that did not reach the listener before a packet.
struct ListenGap {
    std::uint64_t lostPackets = 0;  // of the same broadcast: sequence numbers skipped
    double lostMs = 0;
    double offAirMs = 0;  // between the previous broadcast and this one (numbered from 0 again)
    // The whole gap in the packet's own frames, to be filled with silence; 0 when the
    // rate or the channels changed (the audio starts anew) or the rate is not one we send.
    std::uint64_t silenceFrames = 0;
};

// What a listener counts of the binary messages the relay sends it, across its
// reconnections and the studio's going off and on air.
class ListenStats {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Heard {
        packet_format::Header header;
        ListenGap before;
    };

    std::uint64_t received = 0;
    std::uint64_t lost = 0;  // packets of a broadcast that never arrived
    double lostMs = 0;
    double offAirMs = 0;
    std::uint64_t malformed = 0;  // binary messages that are not packets
    // Per packet: arrival on the relay's clock minus the packet's timestamp (which
    // dates its first frame, so 20 ms of it is the packet's own length).
    std::vector<double> latencyMs;

    // Counts one binary message that arrived at `arrival` (the listener's monotonic
    // clock); the packet's header and the gap before it when it is one.
    std::optional<Heard> count(std::span<const std::uint8_t> bytes, TimePoint arrival);

private:
    struct Last {
        packet_format::Header header;
        std::uint64_t frames = 0;
        double ms = 0;
    };
    ListenGap gapBefore(const packet_format::Header& header, TimePoint arrival) const;
    double packetMs(const packet_format::Header& header, std::uint32_t skipped) const;

    std::optional<Last> last_;
    TimePoint first_{};
    double audioMs_ = 0;  // heard and missing since the first packet
};

}  // namespace quorvel::net
