#pragma once

#include <deque>
#include <optional>
#include <utility>

namespace quorvel::net {

// Estimates the server's clock from ping/pong round trips: each accepted pong gives
// (rtt, offset = s - (t + rtt / 2)); the offset in force is that of the fastest of
// the last 15 round trips (the oldest wins a tie). Round trips of 10 s or more, or
// negative ones, are ignored. Not thread-safe: one owner.
class ClockOffset {
public:
    // A pong for a ping sent at local time `t`, answered with server time `s`, arriving at local time `now`.
    void addPong(double t, double s, double now);
    // Server time minus local time, milliseconds; 0 before the first accepted pong.
    double offsetMs() const { return offset_; }
    bool synchronised() const { return !samples_.empty(); }

private:
    std::deque<std::pair<double, double>> samples_;  // (rtt, offset), oldest first
    double offset_ = 0;
};

// Local wall-clock time in milliseconds since 1970.
double localNowMs();

}  // namespace quorvel::net
