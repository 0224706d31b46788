#pragma once

#include <cstdint>
#include <span>

namespace quorvel {

// The audio handed to AudioSource::onAudio: always 32-bit float samples.
struct CaptureFormat {
    double sampleRate = 0;  // frames per second
    int channels = 0;
    bool interleaved = true;  // one buffer of frames x channels, else one buffer per channel

    bool operator==(const CaptureFormat&) const = default;
};

// One buffer of a block: the memory belongs to the source and is valid only during
// the onAudio call. `data` may be null.
struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    void* data = nullptr;
};

// The buffers of one block.
using AudioBufferList = std::span<const AudioBuffer>;

}  // namespace quorvel
