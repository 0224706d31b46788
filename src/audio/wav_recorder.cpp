#include "audio/wav_recorder.h"

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

void WavRecorder::finish() {
    if (!wav_) return;
    if (onMessage)
        onMessage("Wrote " + wav_->path().string() + " (" + std::to_string(wav_->sampleRate()) + " Hz, " +
                  std::to_string(wav_->channels()) + " channel(s), " +
                  std::to_string(static_cast<double>(wav_->frames()) / wav_->sampleRate()) + " s)");
    wav_.reset();
}

}  // namespace quorvel
