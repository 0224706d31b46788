#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

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
// thread on `threads` threads, and hands each result back to the server's io_context.
// A lane has one job running at most, and waiting jobs are taken from their lanes in
// turn: a flood through one lane holds one thread, and delays another lane's job by at
// most one job per other busy lane. At most `maxPending` jobs wait at once, and a
// quarter of them in any one lane. Use it on the server's thread.
class HashWorker {
public:
    HashWorker(boost::asio::io_context& home, std::size_t maxPending, std::size_t threads = 2)
        : home_(home), maxPending_(maxPending) {
        for (std::size_t i = 0; i < threads; ++i) queues_.push_back(std::make_unique<SerialQueue>("quorvel.hash"));
        state_->idle.resize(threads, true);
    }

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
        std::map<std::string, std::deque<Job>> lanes;  // only lanes with jobs waiting
        std::set<std::string> running;                 // lanes with a job on a thread
        std::string lastLane;  // the lane served last: the next is the one after it
        std::size_t waiting = 0;
        std::vector<bool> idle;  // by thread
    };

    // Starts the next waiting jobs, lanes in turn, while threads are idle.
    void dispatch(const std::shared_ptr<State>& state) {
        for (;;) {
            const auto thread = std::find(state->idle.begin(), state->idle.end(), true);
            if (thread == state->idle.end()) return;
            auto lane = state->lanes.upper_bound(state->lastLane);
            bool found = false;
            for (std::size_t tried = 0; tried < state->lanes.size() && !found; ++tried) {
                if (lane == state->lanes.end()) lane = state->lanes.begin();
                found = !state->running.contains(lane->first);
                if (!found) ++lane;
            }
            if (!found) return;
            const std::string name = lane->first;
            state->lastLane = name;
            Job job = std::move(lane->second.front());
            lane->second.pop_front();
            if (lane->second.empty()) state->lanes.erase(lane);
            --state->waiting;
            state->running.insert(name);
            *thread = false;
            const auto index = static_cast<std::size_t>(thread - state->idle.begin());
            queues_[index]->executor().post([this, state, index, name, job = std::move(job)]() mutable {
                boost::asio::post(home_, [this, state, index, name, finish = job()]() mutable {
                    state->idle[index] = true;
                    state->running.erase(name);
                    finish();
                    dispatch(state);
                });
            });
        }
    }

    boost::asio::io_context& home_;
    std::size_t maxPending_;
    // Shared so that a late result still finds it.
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::vector<std::unique_ptr<SerialQueue>> queues_;
};

}  // namespace quorvel::relay
