#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <FLAC/stream_encoder.h>

#include "audio/packet_encoder.h"

namespace quorvel {

// Turns PCM packets into FLAC packets: each the packet's samples as one FLAC frame of
// 24 bits at the stream's rate, which decodes on its own (a listener may join or lose
// a message anywhere). libFLAC emits a frame only once the first sample of the next
// block is there; a stream per packet avoids that packet of delay. Not thread-safe.
class FlacPacketEncoder final : public PacketEncoder {
public:
    FlacPacketEncoder();
    ~FlacPacketEncoder() override;
    FlacPacketEncoder(const FlacPacketEncoder&) = delete;
    FlacPacketEncoder& operator=(const FlacPacketEncoder&) = delete;

    // The FLAC packet for the PCM packet `header` + `samples`: the same header but the
    // codec, one frame as payload. Empty if libFLAC refused.
    std::vector<std::uint8_t> encode(const packet_format::Header& header,
                                     std::span<const std::uint8_t> samples) override;
    // "fLaC" and the STREAMINFO block of the stream last encoded (WebCodecs wants it).
    std::vector<std::uint8_t> description() const override { return streamHeader_; }

private:
    friend struct FlacWriter;
    FLAC__StreamEncoder* encoder_;
    std::vector<std::int32_t> samples_;
    std::vector<std::uint8_t> streamHeader_;
    std::vector<std::uint8_t> frame_;
};

}  // namespace quorvel
