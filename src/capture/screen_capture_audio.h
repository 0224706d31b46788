#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/audio_source.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace quorvel {

// The Pro Tools applications' own audio through the PulseAudio API (a PulseAudio server,
// or PipeWire's pulse server): one monitor stream per playing Pro Tools stream
// (pa_stream_set_monitor_stream), 48 kHz stereo 32-bit float, this process's own audio
// left out; several applications are mixed here. Audio arrives on the thread
// "quorvel.sck"; the end of capture (an application stream or the server going away)
// asks for a restart.
//
// The callbacks it hands the audio server reach it directly, never after stop(), which
// the destructor runs too, has ended them on the audio thread's own lock.
class ScreenCaptureAudio final : public AudioSource {
public:
    ScreenCaptureAudio();
    ~ScreenCaptureAudio() override;

    // Completes before returning.
    void start(Completion completion) override;
    void stop() override;

    static constexpr std::uint32_t sampleRate = 48000;
    static constexpr int channels = 2;

    // Sums the applications' blocks as they come; each may run ahead of the others by
    // up to `lead` frames before the ones behind count as silent. Audio thread only;
    // allocates nothing after construction.
    class Mixer {
    public:
        Mixer(std::size_t inputs, std::size_t capacityFrames, std::size_t leadFrames);
        // Adds one input's interleaved stereo frames (what does not fit is dropped) and
        // gives the number of mixed frames now ready in output().
        std::size_t add(std::size_t input, const float* samples, std::size_t frames);
        const float* output() const { return mixed_.data(); }

    private:
        std::size_t available(std::size_t input) const { return filled_[input]; }
        std::vector<std::vector<float>> rings_;  // per input, interleaved, oldest first
        std::vector<std::size_t> filled_;        // frames held per input
        std::vector<float> mixed_;
        std::size_t capacity_;
        std::size_t lead_;
    };

private:
    struct Capture;
    std::optional<std::string> begin();

    std::unique_ptr<Capture> capture_;
};

}  // namespace quorvel
