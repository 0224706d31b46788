#include "audio/opus_packet_encoder.h"

#include <opus/opus.h>
#include <soxr.h>

#include <algorithm>

namespace quorvel {

namespace {

constexpr std::uint32_t kOpusRate = 48000;
constexpr std::size_t kFrames = kOpusRate / 50;
// Resampled frames kept beyond the one being encoded, against the resampler giving
// out a frame less now and then.
constexpr std::size_t kSlack = 48;
// Keeps one link's Opus and FLAC encoders within a few per cent of a core; the top
// settings cost about twice as much for a difference few hear at these rates.
constexpr int kComplexity = 5;
constexpr int kExpectedLossPercent = 5;

}  // namespace

OpusPacketEncoder::OpusPacketEncoder(int kbps) : kbps_(kbps) {}

OpusPacketEncoder::~OpusPacketEncoder() {
    if (opus_) opus_encoder_destroy(opus_);
    if (resampler_) soxr_delete(resampler_);
}

bool OpusPacketEncoder::restart(const packet_format::Header& header) {
    if (!opus_ || header.channels != channels_) {
        if (opus_) opus_encoder_destroy(opus_);
        int error = OPUS_OK;
        opus_ = opus_encoder_create(kOpusRate, header.channels, OPUS_APPLICATION_AUDIO, &error);
        if (error != OPUS_OK) {
            opus_ = nullptr;
            return false;
        }
        opus_encoder_ctl(opus_, OPUS_SET_BITRATE(kbps_ * 1000));
        opus_encoder_ctl(opus_, OPUS_SET_VBR_CONSTRAINT(1));
        opus_encoder_ctl(opus_, OPUS_SET_INBAND_FEC(1));
        opus_encoder_ctl(opus_, OPUS_SET_PACKET_LOSS_PERC(kExpectedLossPercent));
        opus_encoder_ctl(opus_, OPUS_SET_COMPLEXITY(kComplexity));
        opus_int32 lookahead = 0;
        opus_encoder_ctl(opus_, OPUS_GET_LOOKAHEAD(&lookahead));
        lookahead_ = lookahead;
    } else {
        opus_encoder_ctl(opus_, OPUS_RESET_STATE);
    }
    if (resampler_) soxr_delete(resampler_);
    resampler_ = nullptr;
    if (header.sampleRate != kOpusRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        // The variable-rate engine at the high quality setting gives out exactly a
        // frame per packet after 2.5 to 5.5 ms, where the fixed-rate one works in
        // blocks and holds back up to 20 ms.
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
        soxr_error_t error = nullptr;
        resampler_ = soxr_create(header.sampleRate, kOpusRate, header.channels, &error, &io, &quality, nullptr);
        if (error) {
            resampler_ = nullptr;
            return false;
        }
    }
    channels_ = header.channels;
    rate_ = header.sampleRate;
    expected_ = produced_ = 0;
    aligned_ = false;
    pending_.clear();
    return true;
}

std::vector<std::uint8_t> OpusPacketEncoder::encode(const packet_format::Header& header,
                                                    std::span<const std::uint8_t> samples) {
    const bool continues = nextSequence_ == header.sequence && header.channels == channels_ && header.sampleRate == rate_;
    nextSequence_ = header.sequence + 1;
    if (!continues && !restart(header)) {
        nextSequence_.reset();
        return {};
    }
    const std::size_t count = samples.size() / 3;
    const std::size_t frames = count / channels_;
    input_.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        input_[i] = static_cast<float>(packet_format::decodeSample(samples.data() + 3 * i)) / packet_format::kScale;

    expected_ += frames * kOpusRate / rate_;
    if (resampler_) {
        resampled_.resize((frames * kOpusRate / rate_ + kFrames) * channels_);
        std::size_t used = 0, made = 0;
        if (soxr_process(resampler_, input_.data(), frames, &used, resampled_.data(), resampled_.size() / channels_,
                         &made)) {
            nextSequence_.reset();
            return {};
        }
        produced_ += made;
        pending_.insert(pending_.end(), resampled_.begin(), resampled_.begin() + static_cast<std::ptrdiff_t>(made * channels_));
    } else {
        produced_ += frames;
        pending_.insert(pending_.end(), input_.begin(), input_.end());
    }

    // The newest resampled frame's time: the packet's end, less what the resampler holds.
    const double msPerFrame = 1000.0 / kOpusRate;
    const double endMs = header.timestampMs + 1000.0 * static_cast<double>(frames) / rate_ -
                         static_cast<double>(expected_ - produced_) * msPerFrame;
    // Start (or fall short): silence in front, so that this packet is encoded now.
    const std::size_t slack = resampler_ ? kSlack * channels_ : 0;
    const std::size_t want = kFrames * channels_ + slack;
    if (pending_.size() < kFrames * channels_ || (!aligned_ && pending_.size() < want))
        pending_.insert(pending_.begin(), want - pending_.size(), 0.0f);
    else if (!aligned_ && pending_.size() > want)
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_.size() - want));
    aligned_ = true;
    const double startMs = endMs - static_cast<double>(pending_.size() / channels_) * msPerFrame;

    std::vector<std::uint8_t> packet(packet_format::kHeaderBytes + 1500);
    const opus_int32 size = opus_encode_float(opus_, pending_.data(), kFrames, packet.data() + packet_format::kHeaderBytes,
                                              static_cast<opus_int32>(packet.size() - packet_format::kHeaderBytes));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(kFrames * channels_));
    if (size <= 0) return {};
    packet.resize(packet_format::kHeaderBytes + static_cast<std::size_t>(size));
    packet_format::Header opus = header;
    opus.codec = packet_format::Codec::opus;
    opus.sampleRate = kOpusRate;
    // The decoder's output lags its input by the encoder's look-ahead.
    opus.timestampMs = startMs - lookahead_ * msPerFrame;
    packet_format::writeHeader(packet.data(), opus);
    return packet;
}

}  // namespace quorvel
