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

class ManualExecutor::ManualWakeup final : public Wakeup {
public:
    explicit ManualWakeup(std::shared_ptr<WakeupState> state) : state_(std::move(state)) {}
    void trigger() noexcept override { state_->pending.store(true, std::memory_order_release); }

private:
    std::shared_ptr<WakeupState> state_;
};

std::unique_ptr<Wakeup> ManualExecutor::makeWakeup(Task task) {
    auto state = std::make_shared<WakeupState>();
    state->task = std::move(task);
    wakeups_.push_back(state);
    return std::make_unique<ManualWakeup>(state);
}

bool ManualExecutor::runWakeups() {
    bool ran = false;
    for (std::size_t i = 0; i < wakeups_.size(); ++i) {
        auto state = wakeups_[i].lock();
        if (state && state->pending.exchange(false, std::memory_order_acq_rel)) {
            state->task();
            ran = true;
        }
    }
    return ran;
}

int ManualExecutor::runPending() {
    int ran = 0;
    do {
        while (!ready_.empty()) {
            Task task = std::move(ready_.front());
            ready_.pop_front();
            task();
            ++ran;
        }
    } while (runWakeups() || !ready_.empty());
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
