#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "relay/clock.h"

namespace quorvel::test {

// A relay clock that only moves when the test says so; safe to read from any thread.
class ManualClock final : public relay::Clock {
public:
    TimePoint now() const override { return TimePoint(std::chrono::nanoseconds(offset_.load())); }
    void advance(std::chrono::nanoseconds by) { offset_.fetch_add(by.count()); }

private:
    // Far from zero, so that a time point minus a timeout never underflows.
    std::atomic<std::int64_t> offset_{std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::hours(1000)).count()};
};

}  // namespace quorvel::test
