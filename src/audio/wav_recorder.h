#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "audio/packet_format.h"
#include "audio/wav_writer.h"

namespace quorvel {

// Records a stream of packets into WAV files: the first file at `base`, and a new one
// ("base-2.wav", …) whenever the stream's rate or channel count changes.
class WavRecorder {
public:
    explicit WavRecorder(std::filesystem::path base) : base_(std::move(base)) {}

    // What the user should know: a file finished or a new one started.
    std::function<void(const std::string&)> onMessage;

    // False with a message when the file cannot be written.
    Expected<bool, std::string> write(const packet_format::Header& header, std::span<const std::uint8_t> samples);
    // Appends `frames` of silence to the current file (none before the first packet).
    Expected<bool, std::string> writeSilence(std::uint64_t frames);
    // Seconds in the current file.
    double seconds() const { return wav_ ? static_cast<double>(wav_->frames()) / wav_->sampleRate() : 0; }
    const std::filesystem::path* path() const { return wav_ ? &wav_->path() : nullptr; }
    // Closes the current file (it is valid WAV at every moment anyway).
    void finish();
    int files() const { return files_; }

private:
    std::filesystem::path base_;
    std::unique_ptr<WavWriter> wav_;
    int files_ = 0;
};

}  // namespace quorvel
