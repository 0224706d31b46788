#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::net {

// A ws:// or wss:// address split for connecting.
struct WebSocketAddress {
    bool tls = false;
    std::string host;  // without brackets for IPv6
    std::string port;
    std::string target;  // path and query, "/" at least
};
std::optional<WebSocketAddress> parseWebSocketAddress(std::string_view url);

struct WebSocketClientOptions {
    // A CA file trusted in addition to the system store (wss only).
    std::optional<std::string> extraCaFile;
    std::size_t maxMessageBytes = 1024 * 1024;
    std::chrono::seconds handshakeTimeout{10};
};

// How a connection ended: the close code the server sent (0 when none) or the
// transport error that cut it.
struct WebSocketClosed {
    std::uint16_t code = 0;
    std::string error;
};

// A WebSocket client on an io_context owned by the caller; every callback runs on
// that io_context's thread, and every call must be made there too. Messages are
// sent one at a time in order; `queued()` tells how many are waiting.
class WebSocketClient {
public:
    static std::shared_ptr<WebSocketClient> create(boost::asio::io_context& context, WebSocketClientOptions options = {});
    virtual ~WebSocketClient() = default;

    std::function<void()> onOpen;
    std::function<void(bool text, std::span<const std::uint8_t> data)> onMessage;
    std::function<void(const WebSocketClosed&)> onClosed;  // once, last

    virtual void connect(const WebSocketAddress& address) = 0;
    virtual void sendText(std::string text) = 0;
    virtual void sendBinary(std::vector<std::uint8_t> bytes) = 0;
    // Sends a close frame once the queue is empty.
    virtual void close(std::uint16_t code = 1000) = 0;
    // Cuts the connection without a close frame.
    virtual void abort() = 0;
    virtual std::size_t queued() const = 0;
};

}  // namespace quorvel::net
