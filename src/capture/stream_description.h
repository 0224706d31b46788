#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "capture/capture_format.h"

namespace quorvel {

// A stream's sample format, as the 'tfmt' property carries it.
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};

inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 0x4;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 0x8;

// The 'slay' value: the channel count of each of a device's input buffers, laid out as
// a buffer list (a 32-bit count, then one AudioBuffer per buffer at pointer alignment).
struct StreamConfiguration {
    static constexpr std::size_t headerSize = alignof(AudioBuffer) > 4 ? alignof(AudioBuffer) : 4;

    static std::vector<std::uint8_t> encode(std::span<const int> channels) {
        std::vector<std::uint8_t> bytes(headerSize + channels.size() * sizeof(AudioBuffer), 0);
        const auto count = static_cast<std::uint32_t>(channels.size());
        std::memcpy(bytes.data(), &count, sizeof count);
        for (std::size_t i = 0; i < channels.size(); ++i) {
            AudioBuffer buffer;
            buffer.numberChannels = static_cast<std::uint32_t>(channels[i]);
            std::memcpy(bytes.data() + headerSize + i * sizeof(AudioBuffer), &buffer, sizeof buffer);
        }
        return bytes;
    }

    // Each buffer's channel count; buffers the bytes do not hold in full are left out.
    static std::vector<int> decode(std::span<const std::uint8_t> bytes) {
        std::vector<int> channels;
        if (bytes.size() < headerSize) return channels;
        std::uint32_t count = 0;
        std::memcpy(&count, bytes.data(), sizeof count);
        const std::size_t room = (bytes.size() - headerSize) / sizeof(AudioBuffer);
        for (std::size_t i = 0; i < count && i < room; ++i) {
            AudioBuffer buffer;
            std::memcpy(&buffer, bytes.data() + headerSize + i * sizeof(AudioBuffer), sizeof buffer);
            channels.push_back(static_cast<int>(buffer.numberChannels));
        }
        return channels;
    }
};

}  // namespace quorvel
