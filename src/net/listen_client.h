#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
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
#include "net/clock_window.h"
#include "net/listen_stats.h"
#include "net/websocket_connection.h"

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
// packets and hands each one on. Callbacks and calls on the io_context's thread.
class ListenClient : public std::enable_shared_from_this<ListenClient> {
public:
    static std::shared_ptr<ListenClient> create(boost::asio::io_context& context, ListenTarget target,
                                                std::string password, WebSocketOptions options = {});

    // A packet that passed the checks: its header and its 24-bit samples.
    std::function<void(const packet_format::Header&, std::span<const std::uint8_t>)> onPacket;
    // Something worth telling the user ("On air.", …).
    std::function<void(const std::string&)> onStatus;
    // Once: the relay refused or the connection ended; nothing when stop() ended it.
    std::function<void(std::optional<std::string> failure)> onFinished;

    void start();
    void stop();
    const ListenStats& stats() const { return stats_; }

private:
    ListenClient(boost::asio::io_context& context, ListenTarget target, std::string password,
                 WebSocketOptions options);
    void receive();
    void handleClosed(boost::system::error_code error);
    void handleText(std::string_view text);
    void handlePacket(std::span<const std::uint8_t> bytes);
    void ping();
    void finish(std::optional<std::string> failure);

    boost::asio::io_context& context_;
    ListenTarget target_;
    std::string password_;
    WebSocketOptions options_;
    std::shared_ptr<WebSocketConnection> socket_;
    boost::asio::steady_timer pingTimer_;
    ClockWindow clock_;
    double offsetMs_ = 0;  // the relay's clock minus ours, once clock_ has a sample
    ListenStats stats_;
    std::optional<std::string> refusal_;
    bool stopping_ = false;
    bool finished_ = false;
};

}  // namespace quorvel::net
