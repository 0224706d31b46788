#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <memory>

#include "runtime/serial_queue.h"

namespace quorvel::relay {

// Who waits for a password check. Each kind may hold only its share of the waiting
// slots, so a flood through one door cannot shut the others: pairing a quarter,
// listeners half, and paired devices (creating links) whatever is free.
enum class HashUse { pairing, listener, device };

// Runs password hashing (tens of milliseconds and 64 MiB each) off the server's
// thread, so fan-out never waits for it, and hands each result back to the server's
// io_context. At most `maxPending` jobs wait at once. Use it on the server's thread.
class HashWorker {
public:
    HashWorker(boost::asio::io_context& home, std::size_t maxPending)
        : home_(home), maxPending_(maxPending), queue_("quorvel.hash") {}

    // Runs `work` on the worker, then `done(result)` on the server's thread; false,
    // and nothing runs, when too many jobs are waiting, in all or of this `use`.
    template <typename Result>
    bool run(HashUse use, std::function<Result()> work, std::function<void(Result)> done) {
        auto& counts = *pending_;
        const auto kind = static_cast<std::size_t>(use);
        if (counts[0] + counts[1] + counts[2] >= maxPending_ || counts[kind] >= share(use)) return false;
        ++counts[kind];
        queue_.executor().post([this, pending = pending_, kind, work = std::move(work), done = std::move(done)]() mutable {
            Result result = work();
            boost::asio::post(home_, [pending, kind, done = std::move(done), result = std::move(result)]() mutable {
                --(*pending)[kind];
                done(std::move(result));
            });
        });
        return true;
    }

private:
    std::size_t share(HashUse use) const {
        switch (use) {
        case HashUse::pairing: return std::max<std::size_t>(1, maxPending_ / 4);
        case HashUse::listener: return std::max<std::size_t>(1, maxPending_ / 2);
        case HashUse::device: break;
        }
        return maxPending_;
    }

    boost::asio::io_context& home_;
    std::size_t maxPending_;
    // Counted on the server's thread only, per HashUse; shared so a late result can
    // still count down.
    std::shared_ptr<std::array<std::size_t, 3>> pending_ = std::make_shared<std::array<std::size_t, 3>>();
    SerialQueue queue_;
};

}  // namespace quorvel::relay
