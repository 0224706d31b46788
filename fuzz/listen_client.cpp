// What the relay sends a listener: a list of steps, each a byte (even: a text message,
// odd: a binary message), a u16 length and the message. Texts are read as the listener
// reads them, binary messages counted as it counts packets, 20 ms apart.
#include <chrono>
#include <cmath>
#include <cstdint>

#include "check.h"
#include "net/clock_window.h"
#include "net/listen_stats.h"
#include "net/relay_message.h"
#include "reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel;
    fuzz::Reader input(data, size);
    net::ListenStats stats;
    ClockWindow clock;
    std::uint64_t binaries = 0;
    while (!input.empty()) {
        const bool text = input.byte() % 2 == 0;
        const std::string_view message = input.text();
        if (text) {
            const auto read = net::readRelayMessage(message);
            if (read && read->type == "pong" && read->pingMs && read->serverMs) {
                const auto offset = clock.add(*read->pingMs, *read->serverMs, 1000.0);
                FUZZ_REQUIRE(!offset || std::isfinite(*offset));
            }
            continue;
        }
        ++binaries;
        const auto heard = stats.count(std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()),
                                       std::chrono::steady_clock::time_point(std::chrono::milliseconds(20 * binaries)));
        FUZZ_REQUIRE(stats.received + stats.malformed == binaries);
        if (!heard) continue;
        // Never more missing audio than the time that passed allows, whatever the relay claims.
        FUZZ_REQUIRE(heard->before.lostMs + heard->before.offAirMs <= 20.0 * binaries * 1.01 + 2000);
        FUZZ_REQUIRE(heard->header.channels == 1 || heard->header.channels == 2);
        // Only PCM has a payload of whole 24-bit frames; FLAC and Opus carry what their decoders read.
        if (heard->header.codec == packet_format::Codec::pcm)
            FUZZ_REQUIRE((message.size() - packet_format::kHeaderBytes) % (3u * heard->header.channels) == 0);
    }
    return 0;
}
