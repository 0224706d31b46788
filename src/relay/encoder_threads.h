#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "runtime/serial_queue.h"

namespace quorvel::relay {

// The threads the relay encodes on, one per core, below the server thread's priority
// so that encoding never holds up the fan-out of packets. Each encoder stays on the
// thread it was given, which keeps its packets in order. Use from the server's thread.
class EncoderThreads {
public:
    EncoderThreads();
    // The thread for a new encoder: they take turns.
    Executor& next();

private:
    std::vector<std::unique_ptr<SerialQueue>> queues_;
    std::size_t turn_ = 0;
};

}  // namespace quorvel::relay
