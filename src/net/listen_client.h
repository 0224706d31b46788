#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/packet_format.h"
#include "audio/stream_form.h"
#include "net/clock_window.h"
#include "net/listen_stats.h"
#include "net/silence_watch.h"
#include "net/websocket_connection.h"
#include "runtime/serial_queue.h"

namespace quorvel::net {

// Where a listener link points: the relay's /ws/listen URL and the link id.
struct ListenTarget {
    std::string url;
    std::string sessionId;
};
// "https://host/l/ID" -> wss://host/ws/listen + "ID" (http gives ws). Nothing for
// anything that is not a link of that shape.
std::optional<ListenTarget> parseListenLink(std::string_view link);

// Joins a link as a listener over /ws/listen on the caller's io_context: sends the
// password, keeps the relay's clock by pinging every 2 s, checks and counts the
// packets and hands each one on with what went missing before it. A lost connection
// (also a relay that stays silent: no "ready" within 11 s, then nothing for 6 s) is
// made again after 0.5, 1, 2, 4, 8, then every 10 s, as the listener page does; only
// a refusal, the end of the link or stop() end it. Callbacks and calls on the
// io_context's thread; `timers` (null: the io_context) must run its tasks there too
// and is the clock the gaps are measured on.
class ListenClient : public std::enable_shared_from_this<ListenClient> {
public:
    static std::shared_ptr<ListenClient> create(boost::asio::io_context& context, ListenTarget target,
                                                std::string password, WebSocketOptions options = {},
                                                Executor* timers = nullptr);

    // The form to ask the relay for; set before start().
    StreamForm form;
    // A packet that passed the checks: its header, its payload (24-bit samples for PCM,
    // else what the header's codec decodes) and the audio missing before it.
    std::function<void(const packet_format::Header&, std::span<const std::uint8_t>, const ListenGap&)> onPacket;
    // Something worth telling the user ("On air.", a reconnection, …).
    std::function<void(const std::string&)> onStatus;
    // Once: the relay refused or the link ended; nothing when stop() ended it.
    std::function<void(std::optional<std::string> failure)> onFinished;

    void start();
    void stop();
    const ListenStats& stats() const { return stats_; }

private:
    ListenClient(boost::asio::io_context& context, ListenTarget target, std::string password,
                 WebSocketOptions options, Executor* timers);
    using Connection = std::shared_ptr<WebSocketConnection>;
    void connect();
    void receive(const Connection& socket);
    void handleClosed(boost::system::error_code error);
    void handleText(std::string_view text);
    void handlePacket(std::span<const std::uint8_t> bytes);
    void ping();
    void watchSilence(Duration limit, std::string what);
    // Drops the connection and makes it again after the next back-off step.
    void reconnect(const std::string& why);
    void finish(std::optional<std::string> failure);

    boost::asio::io_context& context_;
    ListenTarget target_;
    std::string password_;
    WebSocketOptions options_;
    Connection socket_;  // null while waiting to reconnect
    AsioExecutor ownTimers_;
    Executor& timers_;
    TimerHandle pingTimer_;
    TimerHandle reconnectTimer_;
    std::size_t failures_ = 0;  // connections in a row that never got "ready"
    SilenceWatch silence_;
    bool ready_ = false;
    ClockWindow clock_;
    double offsetMs_ = 0;  // the relay's clock minus ours, once clock_ has a sample
    ListenStats stats_;
    std::optional<std::string> resume_;   // the relay's token for coming back
    std::optional<std::string> refusal_;  // ends the listening once the relay closes
    std::optional<std::string> dropped_;  // why the relay is closing a connection worth retrying
    bool stopping_ = false;
    bool finished_ = false;
};

}  // namespace quorvel::net
