#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/packet_sink.h"
#include "config/config.h"

namespace quorvel::app {

// What the sender last reported about its connection.
struct SenderState {
    enum class Kind { off, connecting, connected, reconnecting, failed };
    Kind kind = Kind::off;
    std::string text;  // the refusal text of `failed`, empty otherwise

    static SenderState failed(std::string text) { return {Kind::failed, std::move(text)}; }
    bool operator==(const SenderState&) const = default;
};

// The reports of one broadcast's sender, each delivered asynchronously on the main
// queue in the order the events occurred.
struct SenderEvents {
    std::function<void(SenderState)> onState;
    std::function<void(std::int64_t count)> onListeners;
    std::function<void()> onRevoked;
    std::function<void()> onSessionEnded;
};

// The transport of one broadcast. The owner sets the events, calls start(), hands
// packetSink() to the audio pipeline, and calls stop() before letting it go.
class SenderPort {
public:
    virtual ~SenderPort() = default;
    virtual void setEvents(SenderEvents events) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    // Where the pipeline sends packets and reads the server clock.
    virtual std::shared_ptr<PacketSink> packetSink() = 0;
};

// Creates the sender for (configuration, device key, link id).
using SenderFactory = std::function<std::shared_ptr<SenderPort>(
    const Config& config, const std::string& key, const std::string& sessionId)>;

}  // namespace quorvel::app
