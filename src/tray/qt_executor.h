#pragma once

#include <QObject>

#include "runtime/executor.h"

namespace quorvel::tray {

// The main queue on Qt's event loop: tasks run in order on the thread that created
// the executor (the GUI thread), also inside the nested loops of modal dialogs and
// menus. post() may be called from any thread; timers are QTimers on the GUI thread.
class QtExecutor final : public Executor {
public:
    QtExecutor();
    ~QtExecutor() override;
    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    std::chrono::steady_clock::time_point now() const override;
    // Call on the GUI thread, like the wakeup's destruction.
    std::unique_ptr<Wakeup> makeWakeup(Task task) override;

private:
    // Tasks are delivered to this object's thread; it dies with the executor, and
    // with it whatever is still queued.
    QObject context_;
};

}  // namespace quorvel::tray
