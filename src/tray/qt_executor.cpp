#include "tray/qt_executor.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quorvel::tray {

namespace {

// An eventfd that the real-time side writes to (one non-blocking system call: no
// allocation, no lock) and a notifier on the GUI thread that reads it; triggers that
// come before the read coalesce into one run.
class EventFdWakeup final : public Wakeup {
public:
    explicit EventFdWakeup(Task task)
        : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), notifier_(fd_, QSocketNotifier::Read),
          task_(std::move(task)) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
            std::uint64_t counter = 0;
            if (::read(fd_, &counter, sizeof counter) > 0 && task_) task_();
        });
    }
    ~EventFdWakeup() override {
        notifier_.setEnabled(false);
        ::close(fd_);
    }

    void trigger() noexcept override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
    }

private:
    int fd_;
    QSocketNotifier notifier_;
    Task task_;
};

const QEvent::Type taskEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// A posted event is deleted where it is delivered; QMetaObject::invokeMethod would let
// the posting thread hold the last reference to the task, and so destroy what it holds.
class TaskEvent final : public QEvent {
public:
    explicit TaskEvent(Task task) : QEvent(taskEventType), task(std::move(task)) {}
    Task task;
};

}  // namespace

QtExecutor::QtExecutor() = default;
// Tasks still queued run now, while the executor they may post to exists: a released
// audio pipeline, for one, posts its last reports from its destructor.
QtExecutor::~QtExecutor() { QCoreApplication::sendPostedEvents(&context_, taskEventType); }

bool QtExecutor::Receiver::event(QEvent* event) {
    if (event->type() != taskEventType) return QObject::event(event);
    static_cast<TaskEvent*>(event)->task();
    return true;
}

void QtExecutor::post(Task task) {
    QCoreApplication::postEvent(&context_, new TaskEvent(std::move(task)));
}

TimerHandle QtExecutor::postAfter(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    // Whole milliseconds, rounded up: a timer never fires early.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(delay, Duration::zero()));
    auto arm = [this, ms, cancelled, task = std::move(task)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, &context_, [cancelled, task = std::move(task)] {
            if (!cancelled->load(std::memory_order_acquire)) task();
        });
    };
    // A QTimer belongs to the thread that starts it.
    if (QThread::currentThread() == context_.thread()) arm();
    else post(std::move(arm));
    return TimerHandle(cancelled);
}

std::chrono::steady_clock::time_point QtExecutor::now() const {
    return std::chrono::steady_clock::now();
}

std::unique_ptr<Wakeup> QtExecutor::makeWakeup(Task task) {
    return std::make_unique<EventFdWakeup>(std::move(task));
}

}  // namespace quorvel::tray
