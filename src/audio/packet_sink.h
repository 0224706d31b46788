#pragma once

#include "audio/packet_pool.h"

namespace quorvel {

// Where the pipeline's packets go and whose clock stamps them: the sender, or a
// meter that only looks at levels. Both calls come from the audio thread and must
// not allocate, block or take any lock but a short one guarding the clock.
class PacketSink {
public:
    virtual ~PacketSink() = default;
    // Takes one finished packet; an empty Packet is one the pool could not hold.
    virtual void send(Packet packet) = 0;
    // Current server time in ms since 1970.
    virtual double serverNowMs() = 0;
};

}  // namespace quorvel
