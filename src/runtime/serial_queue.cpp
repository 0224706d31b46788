#include "runtime/serial_queue.h"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <future>

namespace quorvel {

void AsioExecutor::post(Task task) {
    boost::asio::post(context_, std::move(task));
}

TimerHandle AsioExecutor::postAfter(Duration delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto timer = std::make_shared<boost::asio::steady_timer>(context_, delay);
    timer->async_wait([timer, cancelled, task = std::move(task)](boost::system::error_code error) {
        if (error || cancelled->load(std::memory_order_acquire)) return;
        task();
    });
    return TimerHandle(cancelled);
}

std::chrono::steady_clock::time_point AsioExecutor::now() const {
    return std::chrono::steady_clock::now();
}

namespace {

// An eventfd the real-time side writes to (one non-blocking system call) and the
// io_context reads; several triggers before a read coalesce into one run.
class EventFdWakeup final : public Wakeup {
public:
    EventFdWakeup(boost::asio::io_context& context, Task task)
        : state_(std::make_shared<State>(context, std::move(task))) {
        arm(state_);
    }
    ~EventFdWakeup() override {
        state_->task = nullptr;
        boost::system::error_code ignored;
        state_->descriptor.cancel(ignored);
    }

    void trigger() noexcept override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(state_->fd, &one, sizeof one);
    }

private:
    struct State {
        State(boost::asio::io_context& context, Task work)
            : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), descriptor(context, fd), task(std::move(work)) {}
        int fd;
        boost::asio::posix::stream_descriptor descriptor;  // owns and closes fd
        Task task;
        std::uint64_t counter = 0;
    };

    static void arm(const std::shared_ptr<State>& state) {
        state->descriptor.async_read_some(
            boost::asio::buffer(&state->counter, sizeof state->counter),
            [state](boost::system::error_code error, std::size_t) {
                if (error == boost::asio::error::operation_aborted || !state->task) return;
                state->task();
                if (state->task) arm(state);
            });
    }

    std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Wakeup> AsioExecutor::makeWakeup(Task task) {
    return std::make_unique<EventFdWakeup>(context_, std::move(task));
}

SerialQueue::SerialQueue(std::string name)
    : work_(boost::asio::make_work_guard(context_)), executor_(context_) {
    thread_ = std::thread([this, name = std::move(name)] {
        setCurrentThreadName(name);
        context_.run();
    });
}

void SerialQueue::drain() {
    std::promise<void> done;
    executor_.post([&done] { done.set_value(); });
    done.get_future().wait();
}

SerialQueue::~SerialQueue() {
    work_.reset();
    context_.stop();
    if (thread_.joinable()) thread_.join();
}

void setCurrentThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace quorvel
