#pragma once

#include <chrono>

namespace quorvel::relay {

// The monotonic clock behind every time rule of the relay (hello and idle timeouts,
// request deadlines, pairing windows). Tests hand in a clock they move themselves.
// now() may be called from any thread.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

class SteadyClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
};

// Wall-clock milliseconds since 1970, the time unit of the wire.
double wallClockMs();

}  // namespace quorvel::relay
