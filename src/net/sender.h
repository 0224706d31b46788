#pragma once

#include <boost/json/object.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "audio/packet_sink.h"
#include "config/config.h"
#include "net/clock_window.h"
#include "net/packet_handoff.h"
#include "net/silence_watch.h"
#include "net/websocket_connection.h"
#include "runtime/executor.h"
#include "runtime/serial_queue.h"

namespace quorvel {

// The extra CA file for wss comes from the environment variable QUORVEL_CA_FILE when set.
WebSocketOptions webSocketOptionsFromEnvironment();

struct SenderOptions {
    WebSocketOptions webSocket = webSocketOptionsFromEnvironment();
    // Runs the ping and reconnection timers; its tasks must run on the sender's queue.
    // Null: the sender's queue itself.
    Executor* timers = nullptr;
    // Local wall clock, ms since 1970. Empty: the system clock.
    std::function<double()> wallClockMs;
};

// The one WebSocket stream of a broadcast: says "hello" with the device key and the
// session link, sends the audio packets once the server says "welcome", keeps the
// server clock offset, reconnects after losses and reports to the owner.
//
// All connection state lives on the sender's own queue "quorvel.net". start(), stop()
// only post work there; send() and serverNowMs() are called on the audio thread and
// neither allocate nor block (serverNowMs takes the offset lock). The callbacks run
// on the main queue, in the order of the events, and only while the Sender exists.
class Sender final : public PacketSink, public std::enable_shared_from_this<Sender> {
public:
    struct State {
        enum class Kind { off, connecting, connected, reconnecting, failed };
        Kind kind = Kind::off;
        std::string text;  // failed only

        static State off() { return {Kind::off, {}}; }
        static State connecting() { return {Kind::connecting, {}}; }
        static State connected() { return {Kind::connected, {}}; }
        static State reconnecting() { return {Kind::reconnecting, {}}; }
        static State failed(std::string text) { return {Kind::failed, std::move(text)}; }
        bool operator==(const State&) const = default;
    };

    using Options = SenderOptions;

    static constexpr std::int64_t kMaxInFlight = 50;

    // No network activity until start(). `mainQueue` receives posts from the sender's
    // thread and must outlive the Sender.
    static std::shared_ptr<Sender> create(Config config, std::string key, std::string sessionId,
                                          Executor& mainQueue, Options options = {});
    ~Sender() override;
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    void start();
    void stop();

    // Audio thread: no allocation, no lock, no blocking call.
    void send(Packet packet) override;
    // Any thread: no allocation; holds the offset lock for one clock read.
    double serverNowMs() override;

    // Packets refused so far.
    std::int64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // The queue that owns the connection state.
    Executor& queue() { return queue_->executor(); }

    // Set by the owner before start(); read on the main queue.
    std::function<void(State)> onState;
    std::function<void(std::int64_t)> onListeners;
    std::function<void()> onRevoked;
    std::function<void()> onSessionEnded;

    static const std::string revokedText;
    static const std::string sessionNotFoundText;
    static const std::string replacedText;
    static std::string busyText(std::int64_t maxComputers);
    // The wait before the next try after `failures` failed ones in a row.
    static Duration reconnectDelay(std::int64_t failures);

private:
    using Connection = std::shared_ptr<WebSocketConnection>;

    Sender(Config config, std::string key, std::string sessionId, Executor& mainQueue, Options options);
    static void destroy(Sender* sender);

    void connect();
    void receive(const Connection& connection);
    void handle(const std::string& text, const Connection& connection);
    void handleError(const std::string& code, std::optional<std::int64_t> maxComputers);
    void handlePong(double pingMs, double serverMs);
    void sendJSON(const boost::json::object& message, const Connection& connection);
    void startPing(const Connection& connection);
    void watchSilence(Duration limit);
    void sendPing(const Connection& connection);
    void sendWaitingPackets();
    void sendPacket(Packet packet);
    // By value: callers pass task_ itself, which this resets.
    void handleClose(Connection connection);
    void stopNow();
    void report(State state);
    void giveUp(State state);
    void postToOwner(std::function<void(Sender&)> call);
    bool isCurrent(const std::weak_ptr<WebSocketConnection>& connection) const;

    const Config config_;
    const std::string key_;
    const std::string sessionId_;
    Executor& mainQueue_;
    const WebSocketOptions webSocketOptions_;
    const std::function<double()> wallClockMs_;
    std::unique_ptr<SerialQueue> queue_;
    Executor* timers_;

    // Everything below but the offset and the counters: queue() only.
    Connection task_;
    bool wanted_ = false;
    bool authed_ = false;
    std::int64_t attempt_ = 0;
    std::int64_t inFlight_ = 0;
    TimerHandle pingTimer_;
    SilenceWatch silence_;
    TimerHandle reconnectWork_;
    std::optional<std::string> busyMessage_;
    ClockWindow clock_;

    std::mutex offsetLock_;
    double offsetMs_ = 0;  // guarded by offsetLock_

    std::atomic<std::int64_t> dropped_{0};
    PacketHandoff handoff_;
    std::unique_ptr<Wakeup> packetsWaiting_;  // created and destroyed on queue()
};

std::ostream& operator<<(std::ostream& out, const Sender::State& state);

}  // namespace quorvel
