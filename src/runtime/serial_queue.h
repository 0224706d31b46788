#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <string>
#include <thread>

#include "runtime/executor.h"

namespace quorvel {

// An Executor over an Asio io_context that someone else runs (the CLI's main loop).
class AsioExecutor final : public Executor {
public:
    explicit AsioExecutor(boost::asio::io_context& context) : context_(context) {}

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    std::chrono::steady_clock::time_point now() const override;
    std::unique_ptr<Wakeup> makeWakeup(Task task) override;

    boost::asio::io_context& context() { return context_; }

private:
    boost::asio::io_context& context_;
};

// An io_context running on its own named thread: one serial queue, such as
// "quorvel.net". The destructor stops the loop and joins the thread; tasks still
// queued then are dropped.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    Executor& executor() { return executor_; }
    // Waits until everything posted before the call has run. Not on this queue.
    void drain();
    boost::asio::io_context& context() { return context_; }
    bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    AsioExecutor executor_;
    std::thread thread_;
};

// Names the calling thread (at most 15 characters are kept by the kernel).
void setCurrentThreadName(const std::string& name);

}  // namespace quorvel
