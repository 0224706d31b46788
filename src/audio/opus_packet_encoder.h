#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/packet_encoder.h"

struct OpusEncoder;
struct soxr;

namespace quorvel {

// Turns PCM packets into Opus packets: 20 ms at 48 kHz (libsoxr's high quality from
// the stream's other rates), in-band FEC on, at 256, 128 or 64 kb/s. Opus and the
// resampler look ahead, so a packet's audio starts a few milliseconds before its
// source packet's; its timestamp says where, on the same clock. A gap in the sequence
// or a new rate starts afresh. Not thread-safe.
class OpusPacketEncoder final : public PacketEncoder {
public:
    explicit OpusPacketEncoder(int kbps);
    ~OpusPacketEncoder() override;
    OpusPacketEncoder(const OpusPacketEncoder&) = delete;
    OpusPacketEncoder& operator=(const OpusPacketEncoder&) = delete;

    // The Opus packet for the PCM packet `header` + `samples`, with its sequence number;
    // empty if libopus or libsoxr failed.
    std::vector<std::uint8_t> encode(const packet_format::Header& header,
                                     std::span<const std::uint8_t> samples) override;

private:
    bool restart(const packet_format::Header& header);

    int kbps_;
    OpusEncoder* opus_ = nullptr;
    soxr* resampler_ = nullptr;
    std::uint8_t channels_ = 0;
    std::uint32_t rate_ = 0;
    std::optional<std::uint32_t> nextSequence_;
    int lookahead_ = 0;  // frames at 48 kHz
    std::uint64_t expected_ = 0;  // frames at 48 kHz the input so far makes
    std::uint64_t produced_ = 0;  // … of which the resampler has given out
    bool aligned_ = false;
    std::vector<float> input_;
    std::vector<float> resampled_;
    std::vector<float> pending_;  // resampled, not yet encoded
};

}  // namespace quorvel
