#pragma once

#include <chrono>

namespace quorvel::relay {

// Wall-clock milliseconds since 1970, the time unit of the wire.
double wallClockMs();

// The clocks behind every time rule of the relay: the monotonic one for hello and
// idle timeouts, request deadlines and guess windows; the wall clock for pongs and
// for how late a packet is. Tests hand in clocks they move themselves. Callable from
// any thread.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Milliseconds since 1970.
    virtual double wallMs() const = 0;
};

class SteadyClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    double wallMs() const override { return wallClockMs(); }
};

}  // namespace quorvel::relay
