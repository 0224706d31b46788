#include "relay/encoder_threads.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace quorvel::relay {

namespace {

// Nice 10 against the server thread's 0: the scheduler gives the server thread about
// nine tenths of a contended core.
constexpr int kEncoderNiceness = 10;

}  // namespace

EncoderThreads::EncoderThreads() {
    const std::size_t count = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    for (std::size_t i = 0; i < count; ++i) {
        queues_.push_back(std::make_unique<SerialQueue>("quorvel.encode"));
        // Linux sets a thread's niceness by its thread id. Failing leaves it as it was.
        queues_.back()->executor().post([] { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kEncoderNiceness); });
    }
}

Executor& EncoderThreads::next() {
    Executor& executor = queues_[turn_]->executor();
    turn_ = (turn_ + 1) % queues_.size();
    return executor;
}

}  // namespace quorvel::relay
