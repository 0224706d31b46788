#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "runtime/expected.h"

namespace quorvel {

// Writes 24-bit PCM WAV files. The header is brought up to date after every write,
// so the file on disk is a valid WAV at any moment, even if the process dies.
class WavWriter {
public:
    // Refuses a format the header cannot describe (byte rate over 32 bits, frame over 16).
    static Expected<std::unique_ptr<WavWriter>, std::string> create(const std::filesystem::path& path,
                                                                    std::uint32_t sampleRate, std::uint16_t channels);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends interleaved little-endian 24-bit samples (whole frames). False with a
    // message when the disk refuses or the file would pass the WAV size limit (4 GiB).
    Expected<bool, std::string> write(std::span<const std::uint8_t> samples);
    std::uint64_t frames() const { return dataBytes_ / (3u * channels_); }
    std::uint32_t sampleRate() const { return sampleRate_; }
    std::uint16_t channels() const { return channels_; }
    const std::filesystem::path& path() const { return path_; }

private:
    WavWriter(std::FILE* file, std::filesystem::path path, std::uint32_t sampleRate, std::uint16_t channels)
        : file_(file), path_(std::move(path)), sampleRate_(sampleRate), channels_(channels) {}
    bool writeSizes();

    std::FILE* file_;
    std::filesystem::path path_;
    std::uint32_t sampleRate_;
    std::uint16_t channels_;
    std::uint64_t dataBytes_ = 0;
};

// "take.wav", 2 -> "take-2.wav": the name of the next file when the format changes.
std::filesystem::path numberedPath(const std::filesystem::path& path, int number);

}  // namespace quorvel
