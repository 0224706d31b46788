#pragma once

#include <chrono>
#include <memory>

#include "runtime/executor.h"

namespace quorvel {

// Notices a connection that has gone quiet: once nothing was heard for the limit, the
// action runs, once. A dead route often fails no send and no receive for minutes, so
// the connections that expect regular answers watch for silence themselves. Use it
// on the executor's own queue.
class SilenceWatch {
public:
    explicit SilenceWatch(Executor& timers) : timers_(timers) {}
    ~SilenceWatch() { stop(); }
    SilenceWatch(const SilenceWatch&) = delete;
    SilenceWatch& operator=(const SilenceWatch&) = delete;

    // Counts from now; replaces any earlier watch.
    void start(Duration limit, Task onSilent);
    // Something arrived: the count starts again.
    void heard();
    void stop();

private:
    struct Watch {
        Duration limit;
        std::chrono::steady_clock::time_point heardAt;
        Task onSilent;
        TimerHandle timer;
    };
    static void arm(Executor& timers, const std::shared_ptr<Watch>& watch);

    Executor& timers_;
    std::shared_ptr<Watch> watch_;
};

}  // namespace quorvel
