#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/executor.h"

namespace quorvel::test {

// Waits until every task posted to `queue` before the call has run (at most `timeout`).
bool drain(Executor& queue, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Timers on a virtual clock whose tasks run on a real queue (the target): advance()
// moves the clock and posts each task that falls due onto the target, waiting for it
// to finish before the next, so timers that re-arm themselves see the right time.
// Everything but scheduling is forwarded to the target. Thread-safe.
class VirtualTimers final : public Executor {
public:
    // The queue the timer tasks run on; set before any timer falls due.
    void attach(Executor& target);

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    std::chrono::steady_clock::time_point now() const override;
    std::unique_ptr<Wakeup> makeWakeup(Task task) override;

    void advance(Duration delay);
    // Time until the earliest timer that was not cancelled.
    std::optional<Duration> nextDelay() const;

private:
    struct Timed {
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    mutable std::mutex mutex_;
    Executor* target_ = nullptr;
    std::chrono::steady_clock::time_point now_{};
    std::multimap<std::chrono::steady_clock::time_point, Timed> timers_;
};

}  // namespace quorvel::test
