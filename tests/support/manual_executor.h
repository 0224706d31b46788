#pragma once

#include <chrono>
#include <deque>
#include <map>

#include "runtime/executor.h"

namespace quorvel::test {

// A single-threaded queue with virtual time: nothing runs until the test says so.
// Tasks post()ed run in order on runPending(); postAfter() tasks run when advance()
// moves the virtual clock past their deadline, in deadline order.
class ManualExecutor final : public Executor {
public:
    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    std::chrono::steady_clock::time_point now() const override { return now_; }

    // Runs posted tasks, including those they post, until none is left. Returns how many ran.
    int runPending();
    // Moves the clock forward by `delay`, running every task that falls due on the way.
    void advance(Duration delay);
    // Whether a timer that was not cancelled is still waiting.
    bool hasTimers() const;

private:
    struct Timed {
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    std::chrono::steady_clock::time_point now_{};
    std::deque<Task> ready_;
    std::multimap<std::chrono::steady_clock::time_point, Timed> timers_;
};

}  // namespace quorvel::test
