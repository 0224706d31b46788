#include "runtime/serial_queue.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <pthread.h>

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

SerialQueue::SerialQueue(std::string name)
    : work_(boost::asio::make_work_guard(context_)), executor_(context_) {
    thread_ = std::thread([this, name = std::move(name)] {
        setCurrentThreadName(name);
        context_.run();
    });
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
