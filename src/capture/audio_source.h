#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/capture_format.h"

namespace quorvel {

// A way of obtaining studio audio. Life: idle -> callbacks assigned -> start ->
// capturing (onAudio per block) -> stop -> idle.
//
// - start() and stop() are called on the main queue; `completion` runs there too,
//   with no text on success or the user's problem text.
// - onAudio runs on the source's own real-time thread, never concurrently with itself;
//   frames >= 1. The receiver must not block.
// - onRestartNeeded runs on the source's thread; the receiver hops to its own queue.
// - The callbacks are assigned before start() and left alone while capturing.
// - stop() releases everything start() created; it may be called at any time,
//   repeatedly, before start(), after a failed start() and while start() is pending.
class AudioSource {
public:
    using OnAudio = std::function<void(AudioBufferList buffers, std::int64_t frames,
                                       const CaptureFormat& format)>;
    using OnRestartNeeded = std::function<void()>;
    using Completion = std::function<void(std::optional<std::string> problem)>;

    virtual ~AudioSource() = default;

    OnAudio onAudio;
    OnRestartNeeded onRestartNeeded;

    virtual void start(Completion completion) = 0;
    virtual void stop() = 0;
};

}  // namespace quorvel
