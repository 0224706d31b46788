#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace quorvel {

using Task = std::function<void()>;
using Duration = std::chrono::steady_clock::duration;

// Cancels a task scheduled with Executor::postAfter. Copies share the same task;
// cancelling after the task ran, or twice, is harmless.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}

    void cancel() {
        if (cancelled_) cancelled_->store(true, std::memory_order_release);
    }
    bool active() const { return cancelled_ && !cancelled_->load(std::memory_order_acquire); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Wakes a queue from a real-time thread. trigger() allocates nothing, takes no lock
// and never blocks; the queue then runs the wakeup's task once on its own thread, for
// any number of triggers that came before that run.
class Wakeup {
public:
    virtual ~Wakeup() = default;
    virtual void trigger() noexcept = 0;
};

// A serial queue: tasks run one at a time, in the order they were posted, on the
// queue's own thread. The main queue, the sender's queue and the test loops all
// implement it, so code that schedules work or timers never knows which clock runs it.
class Executor {
public:
    virtual ~Executor() = default;

    // Runs `task` later on this queue, never inside the call.
    virtual void post(Task task) = 0;

    // Runs `task` on this queue once `delay` has passed on this queue's clock,
    // unless the returned handle is cancelled first.
    virtual TimerHandle postAfter(Duration delay, Task task) = 0;

    // The queue's monotonic clock (virtual in tests).
    virtual std::chrono::steady_clock::time_point now() const = 0;

    // A wakeup that runs `task` on this queue; destroy it on this queue. The task
    // does not run after the wakeup is destroyed.
    virtual std::unique_ptr<Wakeup> makeWakeup(Task task) = 0;
};

// Runs `task` every `interval` on `executor` until the handle is cancelled.
TimerHandle postRepeating(Executor& executor, Duration interval, Task task);

}  // namespace quorvel
