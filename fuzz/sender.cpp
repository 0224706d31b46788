// What the relay (or whatever answers at the configured address) says to a
// broadcaster: each input is one text message, read as the sender reads it. Pongs go
// into one clock window that lives as long as the process, like a long connection's.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "check.h"
#include "net/clock_window.h"
#include "net/relay_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static quorvel::ClockWindow clock;
    const auto message = quorvel::net::readRelayMessage(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!message) return 0;
    FUZZ_REQUIRE(!message->pingMs || std::isfinite(*message->pingMs));
    FUZZ_REQUIRE(!message->serverMs || std::isfinite(*message->serverMs));
    if (message->type == "pong" && message->pingMs && message->serverMs) {
        // The local clock reads 1 s: pings sent in the 10 s before count.
        const auto offset = clock.add(*message->pingMs, *message->serverMs, 1000.0);
        FUZZ_REQUIRE(!offset || std::isfinite(*offset));
        FUZZ_REQUIRE(clock.size() <= quorvel::ClockWindow::kCapacity);
    }
    return 0;
}
