#pragma once

#include <memory>

#include "runtime/executor.h"

namespace quorvel {

// While it lives, SIGINT and SIGTERM run `onStop` on `queue` (once for any number of
// signals that come before it runs) instead of ending the process. One at a time in a
// process; make and destroy it on `queue`. Afterwards the signals end the process again.
class StopSignals {
public:
    StopSignals(Executor& queue, Task onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::unique_ptr<Wakeup> wakeup_;
};

}  // namespace quorvel
