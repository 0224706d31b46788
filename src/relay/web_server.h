#pragma once

// The relay's HTTP and WebSocket transport (Beast: web_server.cpp, and http_request.h
// for reading a request) behind a small interface, so the relay's logic never sees Beast.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "relay/clock.h"
#include "relay/deadlines.h"
#include "relay/log.h"
#include "runtime/expected.h"

namespace quorvel::relay {

struct HttpRequest {
    std::string method;  // "GET", "POST", …
    std::string target;  // path and query as sent
    std::string body;
    std::string remoteAddress;  // the client's IP address, without the port
    std::string ifNoneMatch;    // the If-None-Match header: revalidating a cached page
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using Respond = std::function<void(HttpResponse)>;
using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// WebSocket close codes the relay uses (RFC 6455).
enum class CloseCode : std::uint16_t { normal = 1000, goingAway = 1001, policy = 1008, tooBig = 1009, tryLater = 1013 };

// The server's end of one accepted WebSocket. Use it on the server's thread only.
class WebSocketPeer {
public:
    virtual ~WebSocketPeer() = default;
    // Queues a text message; sent in order, before a close requested later.
    virtual void sendText(std::string text) = 0;
    // Queues a binary message unless `maxQueuedBinary` are already waiting; false
    // when it was dropped for that reason or because the peer is closing.
    virtual bool sendBinary(SharedBytes bytes) = 0;
    // Queues a ping frame (one at a time); the handler hears the pong.
    virtual void ping() = 0;
    // Sends the queued text messages, then a close frame with `code`; queued binary
    // messages are dropped. Later sends are ignored.
    virtual void close(CloseCode code) = 0;
    virtual const std::string& remoteAddress() const = 0;
    // The code of the peer's close frame, once one came (none while open, or when the
    // connection broke without one).
    virtual std::optional<std::uint16_t> peerCloseCode() const = 0;
};

// What the relay does with one WebSocket. Called on the server's thread; onClosed
// comes exactly once, last, also when the connection fails.
class WebSocketHandler {
public:
    virtual ~WebSocketHandler() = default;
    virtual void onOpen(std::shared_ptr<WebSocketPeer> peer) = 0;
    virtual void onText(std::string_view text) = 0;
    virtual void onBinary(std::span<const std::uint8_t> bytes) = 0;
    virtual void onPong() {}
    virtual void onClosed() = 0;
};

struct WebSocketEndpoint {
    std::shared_ptr<WebSocketHandler> handler;
    std::size_t maxQueuedBinary = 0;
};

class WebHandler {
public:
    virtual ~WebHandler() = default;
    virtual void handleRequest(HttpRequest request, Respond respond) = 0;
    // A WebSocket upgrade for `path`: the endpoint to run, or none for 404.
    virtual std::optional<WebSocketEndpoint> acceptWebSocket(const std::string& path,
                                                             const std::string& remoteAddress) = 0;
};

// The client address of connections on a Unix socket, which only the proxy can reach.
inline constexpr std::string_view kLocalPeer = "local";

struct WebServerOptions {
    // An IP address, or "unix:PATH": a Unix socket (mode 0660: for the process's group
    // only), whose every connection is a trusted proxy's.
    std::string address = "127.0.0.1";
    std::uint16_t port = 8787;  // 0: any free port
    std::optional<std::filesystem::path> tlsCertificate;
    std::optional<std::filesystem::path> tlsKey;
    std::size_t maxBodyBytes = 64 * 1024;
    std::size_t maxHeaderBytes = 8 * 1024;
    std::size_t maxTextMessage = 4 * 1024;
    std::size_t maxBinaryMessage = 16 * 1024;
    std::size_t maxQueuedTexts = 64;
    // A request (or a TLS handshake) must arrive complete within this time.
    std::chrono::seconds requestTimeout{10};
    std::size_t maxConnections = 1024;
    // From any one client address (an IPv6 client: its /64), so that one address cannot
    // take them all. Once half of all connections are taken, an address holding an
    // eighth of this gets no more, so that filling every slot takes at least
    // maxConnections / (maxConnectionsPerAddress / 8) / 2 addresses (64 by default).
    std::size_t maxConnectionsPerAddress = 64;
    // A reverse proxy in front (an IP address, e.g. "127.0.0.1"): its connections are not
    // capped, and the client of each of its requests is the last address of
    // X-Forwarded-For. Anything else than an address is refused at start.
    std::string trustedProxy;
    // Where refused connections are told (a security event); null: nowhere.
    LogSink refusals;
};

// Accepts connections on the io_context (run by the owner on one thread) and hands
// requests and WebSockets to `handler`. Deadlines live in `deadlines`, measured on `clock`.
class WebServer {
public:
    static Expected<std::unique_ptr<WebServer>, std::string> start(boost::asio::io_context& context,
                                                                     WebServerOptions options, WebHandler& handler,
                                                                     Deadlines& deadlines, const Clock& clock);
    virtual ~WebServer() = default;
    virtual std::uint16_t port() const = 0;
    virtual bool tls() const = 0;
    // Stops accepting and closes every connection.
    virtual void shutdown() = 0;
};

}  // namespace quorvel::relay
