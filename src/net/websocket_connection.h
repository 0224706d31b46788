#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/packet_pool.h"

namespace quorvel {

struct WebSocketOptions {
    // A PEM file of extra trusted certificates for wss, on top of the system store.
    std::optional<std::string> extraCaFile;
    // Bounds TCP connect, TLS, the upgrade and the closing handshake.
    std::chrono::milliseconds handshakeTimeout{5000};
    // Longer incoming messages fail the connection.
    std::size_t maxMessageBytes = 64 * 1024;
    // The socket's send buffer; 0 keeps the system's (which grows by itself).
    int sendBufferBytes = 0;
};

// One client WebSocket connection (ws or wss): the sender's and the listener's only
// way onto the network. Every call and every completion runs on the io_context's
// thread. Completions are never invoked inside the call that started them.
//
// The connection opens by itself once created; sends and a receive made before it is
// open wait for it. Each sent message gets exactly one completion, in order: success,
// or an error once the connection failed, was closed or cancelled.
class WebSocketConnection {
public:
    struct Message {
        bool binary = false;
        std::string data;
    };
    using Completion = std::function<void(boost::system::error_code)>;
    using OnMessage = std::function<void(boost::system::error_code, Message)>;

    // Starts connecting to `url` (ws://… or wss://…). A URL that cannot be used makes a
    // connection whose operations all fail.
    static std::shared_ptr<WebSocketConnection> open(boost::asio::io_context& context, const std::string& url,
                                                     const WebSocketOptions& options);

    virtual ~WebSocketConnection() = default;

    // The next message, or the error that ended the connection. One at a time.
    virtual void receive(OnMessage handler) = 0;
    virtual void sendText(std::string text, Completion done) = 0;
    // The packet's buffer is held until its completion and then returned to its pool.
    virtual void sendBinary(Packet packet, Completion done) = 0;
    // Closes with code 1000 and no reason (or just drops a connection that is not open
    // yet); `done` runs when the connection is gone.
    virtual void close(std::function<void()> done) = 0;
    // Drops the connection without a close frame.
    virtual void cancel() = 0;

    // True from the completed upgrade until the connection fails or starts closing.
    virtual bool isOpen() const = 0;
    // The code of the close frame the peer sent; nothing while none came.
    virtual std::optional<std::uint16_t> closeCode() const = 0;
};

}  // namespace quorvel
