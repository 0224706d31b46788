#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "capture/audio_source.h"
#include "capture/audio_sources.h"
#include "capture/capture_error.h"
#include "capture/pipewire_graph.h"

struct pw_proxy;

namespace quorvel {

class PipeWireLoop;
class PipeWireCaptureStream;

// What the Pro Tools applications play, taken without changing what they play: a capture
// node of our own (the tap), linked from the output ports of every matching application
// stream while those keep playing to their own output; the graph mixes them. Audio
// arrives on the thread "quorvel.audio". A new rate or format of the tap asks for a
// restart.
//
// The callbacks it hands the audio server reach it directly, never after stop(), which
// the destructor runs too, has ended them on the audio thread's own lock.
class ProcessTapCapture final : public AudioSource {
public:
    static constexpr std::string_view proToolsBundlePrefix = AudioSources::proToolsBundlePrefix;

    ProcessTapCapture();
    ~ProcessTapCapture() override;

    // Completes before returning.
    void start(Completion completion) override;
    void stop() override;

    // Builds the capture for the given application streams; tears down an earlier one first.
    std::optional<CaptureError> start(const std::vector<std::uint32_t>& processes);

    // The application streams whose identity begins with the Pro Tools prefix.
    static std::vector<std::uint32_t> proToolsProcesses(const PipeWireGraph& graph);
    // The same on the running audio server, as it stands now.
    static std::vector<std::uint32_t> proToolsProcesses();
    // Audio thread: whole frames in the first buffer of a block; 0 drops the block.
    static std::int64_t framesIn(AudioBufferList buffers, const CaptureFormat& format);

    // The tap while capturing (our capture node), else 0.
    std::uint32_t tapID() const { return tapID_; }
    // The output device that clocks the capture, by UID, while capturing.
    const std::string& clockUID() const { return clockUID_; }

private:
    std::optional<CaptureError> build(const std::vector<std::uint32_t>& processes, bool& tearDown);
    void link(const std::vector<std::uint32_t>& processes, const std::vector<PipeWireGraph::Port>& inputs);
    void listen();

    std::optional<CaptureFormat> format_;
    std::uint32_t tapID_ = 0;
    std::string clockUID_;
    std::unique_ptr<PipeWireLoop> loop_;
    std::unique_ptr<PipeWireGraph> graph_;
    std::unique_ptr<PipeWireCaptureStream> stream_;
    std::vector<pw_proxy*> links_;
};

}  // namespace quorvel
