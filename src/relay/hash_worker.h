#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "runtime/serial_queue.h"

namespace quorvel::relay {

// Who waits for a password check, each in a lane of its own: pairing, paired devices
// creating links, and the listeners of each link.
namespace hash_lane {
inline const std::string pairing = "pairing";
inline const std::string devices = "devices";
inline std::string link(const std::string& linkId) { return "link " + linkId; }
}  // namespace hash_lane

// Runs password hashing (tens of milliseconds and 64 MiB each) off the server's
// thread, one job at a time, and hands each result back to the server's io_context.
// Waiting jobs are taken from their lanes in turn, so a flood through one lane delays
// another lane's job by at most one job per busy lane. At most `maxPending` jobs wait
// at once, and a quarter of them in any one lane. Use it on the server's thread.
class HashWorker {
public:
    HashWorker(boost::asio::io_context& home, std::size_t maxPending)
        : home_(home), maxPending_(maxPending), queue_("quorvel.hash") {}

    // Queues `work` in `lane`; once the worker ran it, `done(result)` runs on the
    // server's thread. False, and nothing runs, when too many jobs are waiting, in all
    // or in that lane.
    template <typename Result>
    bool run(const std::string& lane, std::function<Result()> work, std::function<void(Result)> done) {
        auto& state = *state_;
        auto& jobs = state.lanes[lane];
        if (state.waiting >= maxPending_ || jobs.size() >= std::max<std::size_t>(1, maxPending_ / 4)) {
            if (jobs.empty()) state.lanes.erase(lane);
            return false;
        }
        ++state.waiting;
        jobs.push_back([work = std::move(work), done = std::move(done)]() mutable -> std::function<void()> {
            return [done = std::move(done), result = work()]() mutable { done(std::move(result)); };
        });
        dispatch(state_);
        return true;
    }

private:
    // Runs on the worker; returns what is left to do on the server's thread.
    using Job = std::function<std::function<void()>()>;
    struct State {
        std::map<std::string, std::deque<Job>> lanes;  // only lanes with jobs
        std::string lastLane;  // the lane served last: the next is the one after it
        std::size_t waiting = 0;
        bool running = false;
    };

    void dispatch(const std::shared_ptr<State>& state) {
        if (state->running || state->lanes.empty()) return;
        auto lane = state->lanes.upper_bound(state->lastLane);
        if (lane == state->lanes.end()) lane = state->lanes.begin();
        state->lastLane = lane->first;
        Job job = std::move(lane->second.front());
        lane->second.pop_front();
        if (lane->second.empty()) state->lanes.erase(lane);
        --state->waiting;
        state->running = true;
        queue_.executor().post([this, state, job = std::move(job)]() mutable {
            boost::asio::post(home_, [this, state, finish = job()]() mutable {
                state->running = false;
                finish();
                dispatch(state);
            });
        });
    }

    boost::asio::io_context& home_;
    std::size_t maxPending_;
    // Shared so that a late result still finds it.
    std::shared_ptr<State> state_ = std::make_shared<State>();
    SerialQueue queue_;
};

}  // namespace quorvel::relay
