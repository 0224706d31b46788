#include "audio/wav_recorder.h"

#include <algorithm>
#include <array>

namespace quorvel {

Expected<bool, std::string> WavRecorder::write(const packet_format::Header& header,
                                                std::span<const std::uint8_t> samples) {
    if (!wav_ || wav_->sampleRate() != header.sampleRate || wav_->channels() != header.channels) {
        const auto path = files_ == 0 ? base_ : numberedPath(base_, files_ + 1);
        const bool changed = wav_ != nullptr;
        finish();
        if (changed && onMessage)
            onMessage("The stream changed to " + std::to_string(header.sampleRate) + " Hz, " +
                      std::to_string(header.channels) + " channel(s): continuing in " + path.string());
        auto created = WavWriter::create(path, header.sampleRate, header.channels);
        if (!created) return created.error();
        wav_ = std::move(created.value());
        ++files_;
    }
    return wav_->write(samples);
}

Expected<bool, std::string> WavRecorder::writeSilence(std::uint64_t frames) {
    static constexpr std::array<std::uint8_t, 6 * 8192> kZeros{};
    if (!wav_) return true;
    const std::uint64_t frameBytes = 3u * wav_->channels();
    while (frames > 0) {
        const std::uint64_t part = std::min<std::uint64_t>(frames, kZeros.size() / frameBytes);
        auto written = wav_->write(std::span(kZeros.data(), part * frameBytes));
        if (!written) return written;
        frames -= part;
    }
    return true;
}

void WavRecorder::finish() {
    if (!wav_) return;
    if (onMessage)
        onMessage("Wrote " + wav_->path().string() + " (" + std::to_string(wav_->sampleRate()) + " Hz, " +
                  std::to_string(wav_->channels()) + " channel(s), " +
                  std::to_string(static_cast<double>(wav_->frames()) / wav_->sampleRate()) + " s)");
    wav_.reset();
}

}  // namespace quorvel
