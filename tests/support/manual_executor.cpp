#include "support/manual_executor.h"

namespace quorvel::test {

void ManualExecutor::post(Task task) {
    ready_.push_back(std::move(task));
}

TimerHandle ManualExecutor::postAfter(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    timers_.emplace(now_ + delay, Timed{std::move(task), cancelled});
    return TimerHandle(cancelled);
}

int ManualExecutor::runPending() {
    int ran = 0;
    while (!ready_.empty()) {
        Task task = std::move(ready_.front());
        ready_.pop_front();
        task();
        ++ran;
    }
    return ran;
}

void ManualExecutor::advance(Duration delay) {
    const auto end = now_ + delay;
    runPending();
    while (!timers_.empty() && timers_.begin()->first <= end) {
        auto node = timers_.extract(timers_.begin());
        now_ = node.key();
        if (!node.mapped().cancelled->load()) node.mapped().task();
        runPending();
    }
    now_ = end;
}

bool ManualExecutor::hasTimers() const {
    for (const auto& [when, timed] : timers_)
        if (!timed.cancelled->load()) return true;
    return false;
}

}  // namespace quorvel::test
