#include "runtime/executor.h"

namespace quorvel {

namespace {

// Re-arms itself after each run; the shared flag of the first handle stops it.
void armRepeating(Executor& executor, Duration interval, std::shared_ptr<Task> task,
                  std::shared_ptr<std::atomic<bool>> cancelled) {
    executor.postAfter(interval, [&executor, interval, task, cancelled] {
        if (cancelled->load(std::memory_order_acquire)) return;
        (*task)();
        if (cancelled->load(std::memory_order_acquire)) return;
        armRepeating(executor, interval, task, cancelled);
    });
}

}  // namespace

TimerHandle postRepeating(Executor& executor, Duration interval, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    armRepeating(executor, interval, std::make_shared<Task>(std::move(task)), cancelled);
    return TimerHandle(cancelled);
}

}  // namespace quorvel
