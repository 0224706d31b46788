#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capture/audio_source.h"

namespace quorvel {

class PipeWireLoop;
class PipeWireGraph;

// Two adjacent input channels of one audio device, delivered as interleaved stereo
// 32-bit float at the device's rate, on the thread "quorvel.input". A channel that is
// the device's last is delivered on both sides. A change of the device's rate, or the
// device going away, asks for a restart.
//
// The callbacks it hands the audio server reach it directly, never after stop(), which
// the destructor runs too, has ended them on the audio thread's own lock.
class InputDeviceCapture final : public AudioSource {
public:
    // Where one channel lies in a device's input buffers.
    struct Position {
        std::size_t buffer = 0;
        std::size_t offset = 0;
        bool operator==(const Position&) const = default;
    };

    InputDeviceCapture(std::string uid, std::int64_t firstChannel);
    ~InputDeviceCapture() override;

    void start(Completion completion) override;
    void stop() override;

    const std::string& uid() const { return uid_; }
    std::int64_t firstChannel() const { return firstChannel_; }

    // The buffer and offset of 0-based channel `index` in a layout of per-buffer channel
    // counts; (0, 0) when no buffer holds it.
    static Position locate(std::int64_t index, std::span<const int> layout);

    // Audio thread: copies the two channels of one input block into `scratch`, frame by
    // frame, and gives the frame count (0: the block is dropped). Allocates only when
    // `scratch` is shorter than any block before.
    static std::int64_t interleave(AudioBufferList input, Position left, Position right, std::vector<float>& scratch);

private:
    struct Stream;
    std::optional<std::string> begin();

    std::string uid_;
    std::int64_t firstChannel_;
    std::unique_ptr<PipeWireLoop> loop_;
    std::unique_ptr<PipeWireGraph> graph_;  // the listeners: rate and presence of the device
    std::unique_ptr<Stream> stream_;        // the I/O procedure
};

}  // namespace quorvel
