#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace quorvel {

// Estimates the server clock's offset from ping/pong round trips: of the last 15
// accepted samples, the one with the shortest round trip wins (the oldest on a tie),
// since a short trip leaves the least room for asymmetric delay.
class ClockWindow {
public:
    static constexpr std::size_t kCapacity = 15;
    static constexpr double kMaxRoundTripMs = 10000.0;

    // One pong: `pingMs` is the ping's local send time it echoes, `serverMs` the
    // server's clock, `nowMs` the local time of arrival. Returns the offset (server
    // minus local, ms) now in force, or nothing when the sample is rejected
    // (round trip negative, NaN or 10 s or more).
    std::optional<double> add(double pingMs, double serverMs, double nowMs);

    void clear() { samples_.clear(); }
    std::size_t size() const { return samples_.size(); }

private:
    struct Sample {
        double rtt;
        double offset;
    };
    std::vector<Sample> samples_;  // oldest first
};

}  // namespace quorvel
