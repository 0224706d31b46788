#include "audio/flac_packet_encoder.h"

#include <FLAC/stream_encoder.h>

namespace quorvel {

// libFLAC's level 5: its default, within a few per cent of its best ratio at about
// half the cost of the higher levels.
constexpr unsigned kCompressionLevel = 5;

struct FlacWriter {
    static FLAC__StreamEncoderWriteStatus write(const FLAC__StreamEncoder*, const FLAC__byte bytes[], size_t count,
                                                std::uint32_t samples, std::uint32_t, void* context) {
        auto& self = *static_cast<FlacPacketEncoder*>(context);
        // Frames carry samples; the stream's marker and metadata do not.
        auto& target = samples > 0 ? self.frame_ : self.streamHeader_;
        target.insert(target.end(), bytes, bytes + count);
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }
};

FlacPacketEncoder::FlacPacketEncoder() : encoder_(FLAC__stream_encoder_new()) {}

FlacPacketEncoder::~FlacPacketEncoder() {
    if (encoder_) FLAC__stream_encoder_delete(encoder_);
}

std::vector<std::uint8_t> FlacPacketEncoder::encode(const packet_format::Header& header,
                                                    std::span<const std::uint8_t> samples) {
    const std::size_t count = samples.size() / 3;
    const auto frames = static_cast<std::uint32_t>(count / header.channels);
    samples_.resize(count);
    for (std::size_t i = 0; i < count; ++i) samples_[i] = packet_format::decodeSample(samples.data() + 3 * i);

    streamHeader_.clear();
    frame_.clear();
    if (!encoder_ || !FLAC__stream_encoder_set_channels(encoder_, header.channels) ||
        !FLAC__stream_encoder_set_bits_per_sample(encoder_, 24) ||
        !FLAC__stream_encoder_set_sample_rate(encoder_, header.sampleRate) ||
        !FLAC__stream_encoder_set_compression_level(encoder_, kCompressionLevel) ||
        !FLAC__stream_encoder_set_blocksize(encoder_, frames) ||
        FLAC__stream_encoder_init_stream(encoder_, &FlacWriter::write, nullptr, nullptr, nullptr, this) !=
            FLAC__STREAM_ENCODER_INIT_STATUS_OK)
        return {};
    const bool encoded = FLAC__stream_encoder_process_interleaved(encoder_, samples_.data(), frames);
    // Writes the block: it is the stream's last.
    if (!FLAC__stream_encoder_finish(encoder_) || !encoded || frame_.empty()) return {};

    std::vector<std::uint8_t> packet(packet_format::kHeaderBytes + frame_.size());
    packet_format::Header flac = header;
    flac.codec = packet_format::Codec::flac;
    packet_format::writeHeader(packet.data(), flac);
    std::copy(frame_.begin(), frame_.end(), packet.begin() + packet_format::kHeaderBytes);
    return packet;
}

}  // namespace quorvel
