#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_format.h"

struct pw_stream;
struct spa_pod;

namespace quorvel {

class PipeWireLoop;

// A PipeWire capture stream of interleaved 32-bit floats, processed on its loop's thread.
// Created, connected and destroyed under PipeWireLoop::Lock.
class PipeWireCaptureStream {
public:
    struct Request {
        std::vector<std::pair<std::string, std::string>> properties;
        std::uint32_t channels = 2;
        std::uint32_t rate = 0;              // 0: the graph's rate
        std::vector<std::string> positions;  // audio.channel names, one per channel
        bool inactive = false;               // connect without processing until setActive
    };

    enum class Failure { create, connect };
    // A negative errno in `error`, and where it failed, when the stream cannot be made
    // or connected.
    static std::unique_ptr<PipeWireCaptureStream> connect(PipeWireLoop& loop, const Request& request, int& error,
                                                          Failure& failure);
    ~PipeWireCaptureStream();
    PipeWireCaptureStream(const PipeWireCaptureStream&) = delete;
    PipeWireCaptureStream& operator=(const PipeWireCaptureStream&) = delete;

    // The stream's node in the graph; 0 until the server has made it.
    std::uint32_t nodeId() const;
    int setActive(bool active);
    void updateProperties(const std::vector<std::pair<std::string, std::string>>& properties);
    // Loop thread, while processing: when the graph started the current cycle.
    std::chrono::steady_clock::time_point cycleStart() const;
    // The channel count of the negotiated format; 0 until one is.
    std::uint32_t negotiatedChannels() const { return negotiatedChannels_; }

    // Loop thread, per cycle: one buffer of frames x negotiatedChannels() floats.
    // Must not allocate, lock or block.
    std::function<void(const AudioBuffer& buffer)> onBuffer;
    // Loop thread: the stream failed (the server refused or lost it).
    std::function<void()> onLost;

private:
    PipeWireCaptureStream() = default;
    static void onProcess(void* data);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onStateChanged(void* data, int old, int state, const char* error);

    PipeWireLoop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    struct Listener;
    std::unique_ptr<Listener> listener_;
    std::uint32_t negotiatedChannels_ = 0;
};

}  // namespace quorvel
