#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "audio/packet_format.h"
#include "runtime/expected.h"

namespace quorvel {

// Turns the packets of one codec back into what a PCM packet carries: 24-bit samples,
// interleaved, at the header's rate. Not thread-safe.
class PacketDecoder {
public:
    static std::unique_ptr<PacketDecoder> create(packet_format::Codec codec);
    virtual ~PacketDecoder() = default;

    // The samples of the packet `header` + `payload`; for Opus preceded by those of a
    // single packet lost just before it, recovered from this one's redundancy. Valid
    // until the next call.
    virtual Expected<std::span<const std::uint8_t>, std::string> decode(const packet_format::Header& header,
                                                                       std::span<const std::uint8_t> payload) = 0;
};

}  // namespace quorvel
