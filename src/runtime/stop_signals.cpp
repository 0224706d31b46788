#include "runtime/stop_signals.h"

#include <atomic>
#include <cassert>
#include <csignal>

namespace quorvel {

namespace {

// Read by the signal handler: a Wakeup's trigger is one write() to an eventfd, safe there.
std::atomic<Wakeup*> stopWakeup{nullptr};
static_assert(std::atomic<Wakeup*>::is_always_lock_free);

extern "C" void onStopSignal(int) {
    if (Wakeup* wakeup = stopWakeup.load()) wakeup->trigger();
}

void handleStopSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // other threads' blocking calls go on undisturbed
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals(Executor& queue, Task onStop) : wakeup_(queue.makeWakeup(std::move(onStop))) {
    [[maybe_unused]] Wakeup* previous = stopWakeup.exchange(wakeup_.get());
    assert(previous == nullptr);
    handleStopSignals(onStopSignal);
}

StopSignals::~StopSignals() {
    handleStopSignals(SIG_DFL);
    stopWakeup.store(nullptr);
}

}  // namespace quorvel
