#include "audio/wav_writer.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace quorvel {

namespace {

constexpr std::uint64_t kHeaderBytes = 44;
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - kHeaderBytes + 8;

void put16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

Expected<std::unique_ptr<WavWriter>, std::string> WavWriter::create(const std::filesystem::path& path,
                                                                   std::uint32_t sampleRate, std::uint16_t channels) {
    // The header holds the byte rate in 32 bits and the frame size in 16.
    const std::uint64_t frameBytes = 3u * std::uint64_t{channels};
    if (channels == 0 || sampleRate == 0 || frameBytes > 0xFFFF || sampleRate * frameBytes > 0xFFFFFFFF)
        return std::string("invalid audio format");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "cannot create " + path.string() + ": " + std::strerror(errno);
    std::array<std::uint8_t, kHeaderBytes> header{};
    std::memcpy(header.data(), "RIFF", 4);
    put32(header.data() + 4, 36);
    std::memcpy(header.data() + 8, "WAVEfmt ", 8);
    put32(header.data() + 16, 16);
    put16(header.data() + 20, 1);  // PCM
    put16(header.data() + 22, channels);
    put32(header.data() + 24, sampleRate);
    put32(header.data() + 28, static_cast<std::uint32_t>(sampleRate * frameBytes));
    put16(header.data() + 32, static_cast<std::uint16_t>(frameBytes));
    put16(header.data() + 34, 24);
    std::memcpy(header.data() + 36, "data", 4);
    put32(header.data() + 40, 0);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size() || std::fflush(file) != 0) {
        std::fclose(file);
        return "cannot write " + path.string() + ": " + std::strerror(errno);
    }
    return std::unique_ptr<WavWriter>(new WavWriter(file, path, sampleRate, channels));
}

WavWriter::~WavWriter() {
    std::fclose(file_);
}

bool WavWriter::writeSizes() {
    std::uint8_t size[4];
    put32(size, static_cast<std::uint32_t>(36 + dataBytes_));
    if (std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4) return false;
    put32(size, static_cast<std::uint32_t>(dataBytes_));
    if (std::fseek(file_, 40, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4) return false;
    return std::fseek(file_, 0, SEEK_END) == 0 && std::fflush(file_) == 0;
}

Expected<bool, std::string> WavWriter::write(std::span<const std::uint8_t> samples) {
    if (samples.size() % (3u * channels_) != 0) return std::string("not a whole number of frames");
    if (dataBytes_ + samples.size() > kMaxDataBytes) return std::string("the WAV file is full (4 GiB)");
    if (std::fwrite(samples.data(), 1, samples.size(), file_) != samples.size())
        return "cannot write " + path_.string() + ": " + std::strerror(errno);
    dataBytes_ += samples.size();
    if (!writeSizes()) return "cannot write " + path_.string() + ": " + std::strerror(errno);
    return true;
}

std::filesystem::path numberedPath(const std::filesystem::path& path, int number) {
    std::filesystem::path next = path;
    next.replace_filename(path.stem().string() + "-" + std::to_string(number) + path.extension().string());
    return next;
}

}  // namespace quorvel
