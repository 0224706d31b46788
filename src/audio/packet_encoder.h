#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/packet_format.h"
#include "audio/stream_form.h"

namespace quorvel {

// Turns PCM packets into the packets of another form (FLAC or Opus), each carrying the
// sequence number of its source packet. Not thread-safe.
class PacketEncoder {
public:
    // Nothing for PCM, which needs no encoder.
    static std::unique_ptr<PacketEncoder> create(const StreamForm& form);
    virtual ~PacketEncoder() = default;

    // The packet for the PCM packet `header` + `samples`; empty if the codec failed.
    virtual std::vector<std::uint8_t> encode(const packet_format::Header& header,
                                             std::span<const std::uint8_t> samples) = 0;
    // What a decoder needs before the packets of the stream last encoded (FLAC: "fLaC"
    // and its STREAMINFO block); empty when it needs nothing.
    virtual std::vector<std::uint8_t> description() const { return {}; }
};

}  // namespace quorvel
