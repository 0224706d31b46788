#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <vector>

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
    std::unique_ptr<Wakeup> makeWakeup(Task task) override;

    // Runs posted tasks and triggered wakeups, including what they post, until none is
    // left. Returns how many posted tasks ran.
    int runPending();
    // Moves the clock forward by `delay`, running every task that falls due on the way.
    void advance(Duration delay);
    // Whether a timer that was not cancelled is still waiting.
    bool hasTimers() const;

private:
    struct WakeupState {
        Task task;
        std::atomic<bool> pending{false};
    };
    class ManualWakeup;
    bool runWakeups();

    struct Timed {
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    std::chrono::steady_clock::time_point now_{};
    std::deque<Task> ready_;
    std::multimap<std::chrono::steady_clock::time_point, Timed> timers_;
    std::vector<std::weak_ptr<WakeupState>> wakeups_;
};

}  // namespace quorvel::test
