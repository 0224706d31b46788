#include "audio/packet_decoder.h"

#include <FLAC/stream_decoder.h>
#include <opus/opus.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace quorvel {

using packet_format::Codec;
using packet_format::Header;

namespace {

using Samples = Expected<std::span<const std::uint8_t>, std::string>;

void appendSample(std::vector<std::uint8_t>& out, std::int32_t sample) {
    const auto raw = static_cast<std::uint32_t>(sample);
    out.push_back(static_cast<std::uint8_t>(raw));
    out.push_back(static_cast<std::uint8_t>(raw >> 8));
    out.push_back(static_cast<std::uint8_t>(raw >> 16));
}

class PcmDecoder final : public PacketDecoder {
public:
    Samples decode(const Header&, std::span<const std::uint8_t> payload) override { return payload; }
};

// Each packet is a stream of its own to libFLAC: one frame, no metadata needed.
class FlacDecoder final : public PacketDecoder {
public:
    FlacDecoder() : decoder_(FLAC__stream_decoder_new()) {
        if (decoder_ &&
            FLAC__stream_decoder_init_stream(decoder_, &read, nullptr, nullptr, nullptr, nullptr, &write, nullptr,
                                             &error, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
            FLAC__stream_decoder_delete(decoder_);
            decoder_ = nullptr;
        }
    }
    ~FlacDecoder() override {
        if (decoder_) FLAC__stream_decoder_delete(decoder_);
    }

    Samples decode(const Header& header, std::span<const std::uint8_t> payload) override {
        if (!decoder_) return std::string("the FLAC decoder cannot be made");
        input_ = payload;
        out_.clear();
        failed_ = false;
        FLAC__stream_decoder_reset(decoder_);
        FLAC__stream_decoder_process_until_end_of_stream(decoder_);
        if (failed_ || out_.empty()) return "packet " + std::to_string(header.sequence) + " is not a FLAC frame";
        return std::span<const std::uint8_t>(out_);
    }

private:
    static FLAC__StreamDecoderReadStatus read(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                              void* context) {
        auto& self = *static_cast<FlacDecoder*>(context);
        const std::size_t count = std::min(*bytes, self.input_.size());
        if (count > 0) std::memcpy(buffer, self.input_.data(), count);
        self.input_ = self.input_.subspan(count);
        *bytes = count;
        return count == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderWriteStatus write(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const channels[], void* context) {
        auto& self = *static_cast<FlacDecoder*>(context);
        const unsigned shift = 24 - frame->header.bits_per_sample;
        for (unsigned i = 0; i < frame->header.blocksize; ++i)
            for (unsigned channel = 0; channel < frame->header.channels; ++channel)
                appendSample(self.out_, channels[channel][i] * (1 << shift));
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    static void error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* context) {
        static_cast<FlacDecoder*>(context)->failed_ = true;
    }

    FLAC__StreamDecoder* decoder_;
    std::span<const std::uint8_t> input_;
    std::vector<std::uint8_t> out_;
    bool failed_ = false;
};

class OpusDecoderOfPackets final : public PacketDecoder {
public:
    ~OpusDecoderOfPackets() override {
        if (opus_) opus_decoder_destroy(opus_);
    }

    Samples decode(const Header& header, std::span<const std::uint8_t> payload) override {
        if (!opus_ || header.channels != channels_) {
            if (opus_) opus_decoder_destroy(opus_);
            int error = OPUS_OK;
            opus_ = opus_decoder_create(static_cast<opus_int32>(header.sampleRate), header.channels, &error);
            if (error != OPUS_OK) {
                opus_ = nullptr;
                return std::string("the Opus decoder cannot be made for ") + std::to_string(header.sampleRate) + " Hz";
            }
            channels_ = header.channels;
            nextSequence_.reset();
        }
        out_.clear();
        const auto* data = payload.data();
        const auto size = static_cast<opus_int32>(payload.size());
        const int frames = opus_packet_get_nb_samples(data, size, static_cast<opus_int32>(header.sampleRate));
        if (frames <= 0) return "packet " + std::to_string(header.sequence) + " is not an Opus packet";
        if (nextSequence_ && header.sequence - *nextSequence_ == 1 && !run(data, size, frames, true))
            return "packet " + std::to_string(header.sequence) + " is not an Opus packet";
        if (!run(data, size, frames, false)) return "packet " + std::to_string(header.sequence) + " is not an Opus packet";
        nextSequence_ = header.sequence + 1;
        return std::span<const std::uint8_t>(out_);
    }

private:
    bool run(const unsigned char* data, opus_int32 size, int frames, bool redundancy) {
        decoded_.resize(static_cast<std::size_t>(frames) * channels_);
        const int made = opus_decode_float(opus_, data, size, decoded_.data(), frames, redundancy ? 1 : 0);
        if (made <= 0) return false;
        const std::size_t start = out_.size();
        out_.resize(start + 3 * static_cast<std::size_t>(made) * channels_);
        float left = 0, right = 0;
        packet_format::encodeSamples(decoded_.data(), static_cast<std::size_t>(made) * channels_, channels_,
                                     out_.data() + start, left, right);
        return true;
    }

    OpusDecoder* opus_ = nullptr;
    std::uint8_t channels_ = 0;
    std::optional<std::uint32_t> nextSequence_;
    std::vector<float> decoded_;
    std::vector<std::uint8_t> out_;
};

}  // namespace

std::unique_ptr<PacketDecoder> PacketDecoder::create(Codec codec) {
    switch (codec) {
    case Codec::pcm: return std::make_unique<PcmDecoder>();
    case Codec::flac: return std::make_unique<FlacDecoder>();
    case Codec::opus: return std::make_unique<OpusDecoderOfPackets>();
    }
    return nullptr;
}

}  // namespace quorvel
