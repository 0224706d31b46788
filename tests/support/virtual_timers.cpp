#include "support/virtual_timers.h"

#include <future>

namespace quorvel::test {

bool drain(Executor& queue, std::chrono::milliseconds timeout) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    queue.post([done] { done->set_value(); });
    return future.wait_for(timeout) == std::future_status::ready;
}

void VirtualTimers::attach(Executor& target) {
    std::lock_guard lock(mutex_);
    target_ = &target;
}

void VirtualTimers::post(Task task) {
    std::lock_guard lock(mutex_);
    target_->post(std::move(task));
}

TimerHandle VirtualTimers::postAfter(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    timers_.emplace(now_ + delay, Timed{std::move(task), cancelled});
    return TimerHandle(cancelled);
}

std::chrono::steady_clock::time_point VirtualTimers::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::unique_ptr<Wakeup> VirtualTimers::makeWakeup(Task task) {
    std::lock_guard lock(mutex_);
    return target_->makeWakeup(std::move(task));
}

void VirtualTimers::advance(Duration delay) {
    std::unique_lock lock(mutex_);
    const auto end = now_ + delay;
    while (!timers_.empty() && timers_.begin()->first <= end) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key();
        Executor* target = target_;
        lock.unlock();
        // Cancelling happens on the target, so that is where the flag is read.
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        target->post([timed = std::move(node.mapped()), done] {
            if (!timed.cancelled->load()) timed.task();
            done->set_value();
        });
        finished.wait();
        lock.lock();
    }
    now_ = end;
}

std::optional<Duration> VirtualTimers::nextDelay() const {
    std::lock_guard lock(mutex_);
    for (const auto& [when, timed] : timers_)
        if (!timed.cancelled->load()) return when - now_;
    return std::nullopt;
}

}  // namespace quorvel::test
