#include "net/silence_watch.h"

namespace quorvel {

void SilenceWatch::start(Duration limit, Task onSilent) {
    stop();
    watch_ = std::make_shared<Watch>(Watch{limit, timers_.now(), std::move(onSilent), {}});
    arm(timers_, watch_);
}

void SilenceWatch::heard() {
    if (watch_) watch_->heardAt = timers_.now();
}

void SilenceWatch::stop() {
    if (watch_) watch_->timer.cancel();
    watch_.reset();
}

// One timer at a time, due when the silence would reach the limit; what was heard
// meanwhile only moves the next one.
void SilenceWatch::arm(Executor& timers, const std::shared_ptr<Watch>& watch) {
    watch->timer = timers.postAfter(watch->heardAt + watch->limit - timers.now(),
                                    [&timers, weak = std::weak_ptr(watch)] {
                                        const auto watch = weak.lock();
                                        if (!watch) return;
                                        if (timers.now() - watch->heardAt < watch->limit) return arm(timers, watch);
                                        const Task onSilent = std::move(watch->onSilent);
                                        watch->onSilent = nullptr;
                                        if (onSilent) onSilent();
                                    });
}

}  // namespace quorvel
