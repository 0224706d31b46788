#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <functional>
#include <memory>

#include "runtime/serial_queue.h"

namespace quorvel::relay {

// Runs password hashing (tens of milliseconds and 64 MiB each) off the server's
// thread, so fan-out never waits for it, and hands each result back to the server's
// io_context. At most `maxPending` jobs wait at once. Use it on the server's thread.
class HashWorker {
public:
    HashWorker(boost::asio::io_context& home, std::size_t maxPending)
        : home_(home), maxPending_(maxPending), queue_("quorvel.hash") {}

    // Runs `work` on the worker, then `done(result)` on the server's thread; false,
    // and nothing runs, when too many jobs are waiting.
    template <typename Result>
    bool run(std::function<Result()> work, std::function<void(Result)> done) {
        if (*pending_ >= maxPending_) return false;
        ++*pending_;
        queue_.executor().post([this, pending = pending_, work = std::move(work), done = std::move(done)]() mutable {
            Result result = work();
            boost::asio::post(home_, [pending, done = std::move(done), result = std::move(result)]() mutable {
                --*pending;
                done(std::move(result));
            });
        });
        return true;
    }

private:
    boost::asio::io_context& home_;
    std::size_t maxPending_;
    // Counted on the server's thread only; shared so a late result can still count down.
    std::shared_ptr<std::size_t> pending_ = std::make_shared<std::size_t>(0);
    SerialQueue queue_;
};

}  // namespace quorvel::relay
