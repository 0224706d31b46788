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
    // Runs the tasks posted to it, each as an event that owns its task, so that the
    // task and what it holds go on this object's thread (the GUI thread) once run.
    class Receiver final : public QObject {
    protected:
        bool event(QEvent* event) override;
    };

    // It dies with the executor, after what was still queued has run.
    Receiver context_;
};

}  // namespace quorvel::tray
