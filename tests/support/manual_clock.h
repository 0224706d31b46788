#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "relay/clock.h"

namespace quorvel::test {

// A relay clock that only moves when the test says so; safe to read from any thread.
// Its wall clock starts at kStartWallMs and moves with it.
class ManualClock final : public relay::Clock {
public:
    static constexpr double kStartWallMs = 1.8e12;  // January 2027

    TimePoint now() const override { return TimePoint(std::chrono::nanoseconds(offset_.load())); }
    double wallMs() const override {
        return kStartWallMs + static_cast<double>(offset_.load() - kStart.count()) / 1e6;
    }
    void advance(std::chrono::nanoseconds by) { offset_.fetch_add(by.count()); }

private:
    // Far from zero, so that a time point minus a timeout never underflows.
    static constexpr std::chrono::nanoseconds kStart = std::chrono::hours(1000);
    std::atomic<std::int64_t> offset_{kStart.count()};
};

}  // namespace quorvel::test
