// The relay's Beast transport: HTTP/1.1 and WebSocket sessions over
// plain TCP or TLS, with bounded buffers, bounded send queues and deadlines.
#include "relay/web_server.h"
#include "relay/http_request.h"
#include "relay/client_address.h"

#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstring>
#include <deque>
#include <filesystem>
#include <type_traits>
#include <unordered_map>

#include <sys/stat.h>

namespace quorvel::relay {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
// TCP or a Unix socket.
using Protocol = asio::generic::stream_protocol;
using PlainStream = beast::basic_stream<Protocol>;
using TlsStream = beast::ssl_stream<PlainStream>;
constexpr std::string_view kUnixPrefix = "unix:";

template <typename Stream>
constexpr bool kIsTls = std::is_same_v<Stream, TlsStream>;

// Something the server can cut off when it shuts down.
class Abortable {
public:
    virtual ~Abortable() = default;
    virtual void abort() = 0;
};

struct ServerState {
    ServerState(asio::io_context& io, WebServerOptions opts, WebHandler& web, Deadlines& timers, const Clock& time)
        : context(io), options(std::move(opts)), handler(web), deadlines(timers), clock(time) {}

    asio::io_context& context;
    WebServerOptions options;
    WebHandler& handler;
    Deadlines& deadlines;
    const Clock& clock;
    std::optional<asio::ssl::context> tls;
    std::size_t connections = 0;
    std::unordered_map<std::string, std::size_t> connectionsFrom;  // by limitKey() of the address
    bool stopped = false;
    std::vector<std::weak_ptr<Abortable>> live;

    void track(const std::shared_ptr<Abortable>& session) {
        std::erase_if(live, [](const auto& entry) { return entry.expired(); });
        live.push_back(session);
    }
};

// Counts one open connection, in all and from its address, for as long as it exists.
class ConnectionSlot {
public:
    ConnectionSlot(std::shared_ptr<ServerState> server, std::string key)
        : server_(std::move(server)), address_(std::move(key)) {
        ++server_->connections;
        ++server_->connectionsFrom[address_];
    }
    ~ConnectionSlot() {
        if (!server_) return;
        --server_->connections;
        const auto found = server_->connectionsFrom.find(address_);
        if (--found->second == 0) server_->connectionsFrom.erase(found);
    }
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : server_(std::move(other.server_)), address_(std::move(other.address_)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;

private:
    std::shared_ptr<ServerState> server_;
    std::string address_;
};

template <typename Stream>
void closeSocket(Stream& stream) {
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream).socket();
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
}

template <typename Stream>
class WsSession final : public WebSocketPeer, public Abortable, public std::enable_shared_from_this<WsSession<Stream>> {
public:
    WsSession(Stream&& stream, std::shared_ptr<ServerState> server, std::string remote, WebSocketEndpoint endpoint,
              ConnectionSlot slot)
        : ws_(std::move(stream)),
          server_(std::move(server)),
          remote_(std::move(remote)),
          endpoint_(std::move(endpoint)),
          slot_(std::move(slot)) {}

    void run(http::request<http::string_body> request) {
        // A peer that never lets the close finish is cut off.
        deadline_ = server_->deadlines.make([weak = this->weak_from_this()] {
            if (auto self = weak.lock()) self->abort();
        });
        // Idleness is the handlers' rule, on the relay's clock.
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = server_->options.requestTimeout;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        ws_.set_option(timeout);
        // Runs inside a read, which holds this session.
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::pong && endpoint_.handler) endpoint_.handler->onPong();
        });
        ws_.read_message_max(server_->options.maxBinaryMessage);
        // Each message in one frame and one write: cut into 4 KiB frames, a packet costs the
        // listener's browser a network event, and a task in the page, for every piece.
        ws_.auto_fragment(false);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "quorvel-relay"); }));
        ws_.async_accept(request, [self = this->shared_from_this()](beast::error_code error) { self->onAccept(error); });
    }

    void sendText(std::string text) override {
        if (closeRequested_) return;
        if (queuedTexts_ >= server_->options.maxQueuedTexts) {
            // A peer that does not read our answers while it keeps asking.
            close(CloseCode::policy);
            return;
        }
        queue_.push_back(Outgoing{Kind::text, std::move(text), nullptr});
        ++queuedTexts_;
        pump();
    }

    bool sendBinary(SharedBytes bytes) override {
        if (closeRequested_ || queuedBinary_ >= endpoint_.maxQueuedBinary) return false;
        queue_.push_back(Outgoing{Kind::binary, {}, std::move(bytes)});
        ++queuedBinary_;
        pump();
        return true;
    }

    void ping() override {
        if (closeRequested_ || pingQueued_) return;
        pingQueued_ = true;
        queue_.push_back(Outgoing{Kind::ping, {}, nullptr});
        pump();
    }

    void close(CloseCode code) override {
        if (closeRequested_ || finished_) return;
        closeRequested_ = code;
        // Keep the message being written (its buffer is in use) and the texts.
        const auto keepFrom = writing_ ? queue_.begin() + 1 : queue_.begin();
        const auto removed =
            std::remove_if(keepFrom, queue_.end(), [](const Outgoing& out) { return out.kind == Kind::binary; });
        queuedBinary_ -= static_cast<std::size_t>(std::distance(removed, queue_.end()));
        queue_.erase(removed, queue_.end());
        deadline_->expireAt(server_->clock.now() + server_->options.requestTimeout);
        pump();
    }

    const std::string& remoteAddress() const override { return remote_; }
    std::optional<std::uint16_t> peerCloseCode() const override { return peerCloseCode_; }

    void abort() override { closeSocket(ws_.next_layer()); }

private:
    enum class Kind { text, binary, ping };
    struct Outgoing {
        Kind kind;
        std::string textData;
        SharedBytes binary;
    };

    void onAccept(beast::error_code error) {
        if (error) {
            finish();
            return;
        }
        opened_ = true;
        endpoint_.handler->onOpen(this->shared_from_this());
        read();
    }

    void read() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code error, std::size_t bytes) {
            self->onRead(error, bytes);
        });
    }

    void onRead(beast::error_code error, std::size_t bytes) {
        if (error) {
            if (error == websocket::error::closed) peerCloseCode_ = ws_.reason().code;
            finish();
            return;
        }
        if (!closeRequested_) {
            const auto data = buffer_.cdata();
            if (ws_.got_text()) {
                if (bytes > server_->options.maxTextMessage)
                    close(CloseCode::tooBig);
                else
                    endpoint_.handler->onText(std::string_view(static_cast<const char*>(data.data()), data.size()));
            } else {
                endpoint_.handler->onBinary(
                    std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data.data()), data.size()));
            }
        }
        buffer_.consume(buffer_.size());
        // Keep reading after a close request: the peer's close frame ends the loop.
        read();
    }

    void pump() {
        if (writing_ || finished_ || !opened_) return;
        if (queue_.empty()) {
            if (closeRequested_ && !closeStarted_) {
                closeStarted_ = true;
                ws_.async_close(static_cast<websocket::close_code>(*closeRequested_),
                                [self = this->shared_from_this()](beast::error_code) {});
            }
            return;
        }
        writing_ = true;
        const Outgoing& front = queue_.front();
        if (front.kind == Kind::ping) {
            ws_.async_ping({}, [self = this->shared_from_this()](beast::error_code error) { self->onWrite(error); });
            return;
        }
        ws_.text(front.kind == Kind::text);
        const auto buffer = front.kind == Kind::text ? asio::buffer(front.textData) : asio::buffer(*front.binary);
        ws_.async_write(buffer, [self = this->shared_from_this()](beast::error_code error, std::size_t) {
            self->onWrite(error);
        });
    }

    void onWrite(beast::error_code error) {
        writing_ = false;
        switch (queue_.front().kind) {
        case Kind::text: if (queuedTexts_ > 0) --queuedTexts_; break;
        case Kind::binary: if (queuedBinary_ > 0) --queuedBinary_; break;
        case Kind::ping: pingQueued_ = false; break;
        }
        queue_.pop_front();
        if (error || finished_) {
            queue_.clear();
            queuedTexts_ = queuedBinary_ = 0;
            pingQueued_ = false;
            abort();
            return;
        }
        pump();
    }

    void finish() {
        if (finished_) return;
        finished_ = true;
        // The message being written keeps its buffer until its completion.
        queue_.erase(writing_ ? queue_.begin() + 1 : queue_.begin(), queue_.end());
        queuedTexts_ = queuedBinary_ = 0;
        pingQueued_ = false;
        deadline_->clear();
        if (opened_) endpoint_.handler->onClosed();
        endpoint_.handler.reset();
        abort();
    }

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    std::shared_ptr<ServerState> server_;
    std::string remote_;
    WebSocketEndpoint endpoint_;
    ConnectionSlot slot_;
    std::shared_ptr<Deadline> deadline_;
    std::deque<Outgoing> queue_;
    std::size_t queuedTexts_ = 0;
    std::size_t queuedBinary_ = 0;
    bool opened_ = false;
    bool writing_ = false;
    bool pingQueued_ = false;
    bool finished_ = false;
    bool closeStarted_ = false;
    std::optional<CloseCode> closeRequested_;
    std::optional<std::uint16_t> peerCloseCode_;
};

template <typename Stream>
class HttpSession final : public Abortable, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream&& stream, std::shared_ptr<ServerState> server, std::string remote, ConnectionSlot slot)
        : stream_(std::move(stream)),
          buffer_(server->options.maxHeaderBytes + server->options.maxBodyBytes),
          server_(std::move(server)),
          remote_(std::move(remote)),
          slot_(std::move(slot)) {}

    void start() {
        deadline_ = server_->deadlines.make([weak = this->weak_from_this()] {
            if (auto self = weak.lock()) self->abort();
        });
        deadline_->expireAt(server_->clock.now() + server_->options.requestTimeout);
        if constexpr (kIsTls<Stream>) {
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code error) {
                                        if (!error) self->read();
                                    });
        } else {
            read();
        }
    }

    void abort() override { closeSocket(stream_); }

private:
    void read() {
        parser_.emplace();
        limitRequest(*parser_, server_->options.maxHeaderBytes, server_->options.maxBodyBytes);
        deadline_->expireAt(server_->clock.now() + server_->options.requestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             self->onRead(error);
                         });
    }

    void onRead(beast::error_code error) {
        ReadRequest read = readRequest(error, *parser_, remote_, server_->options.trustedProxy);
        switch (read.kind) {
        case ReadRequest::Kind::reject: return write(std::move(read.rejection), false, read.version);
        case ReadRequest::Kind::drop: return abort();
        case ReadRequest::Kind::upgrade:
            deadline_->clear();
            return upgrade(read.path, read.request.remoteAddress, parser_->release());
        case ReadRequest::Kind::request: break;
        }
        deadline_->clear();
        const bool head = read.request.method == "HEAD";
        server_->handler.handleRequest(std::move(read.request), [self = this->shared_from_this(), keepAlive = read.keepAlive,
                                                                 version = read.version, head](HttpResponse response) {
            self->write(std::move(response), keepAlive, version, head);
        });
    }

    // Behind the trusted proxy, the client is the address it appended to X-Forwarded-For.
    void upgrade(const std::string& path, const std::string& client, http::request<http::string_body> request) {
        auto endpoint = server_->handler.acceptWebSocket(path, client);
        if (!endpoint) return write(HttpResponse{404, "application/json", "{}", {}}, false, request.version());
        deadline_->clear();
        auto session = std::make_shared<WsSession<Stream>>(std::move(stream_), server_, client, std::move(*endpoint),
                                                           std::move(slot_));
        server_->track(session);
        session->run(std::move(request));
    }

    // `head`: the answer to a HEAD request, its headers as for GET, without the body.
    void write(HttpResponse response, bool keepAlive, unsigned version, bool head = false) {
        auto message = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status),
                                                                            version);
        message->set(http::field::server, "quorvel-relay");
        if (!response.contentType.empty()) message->set(http::field::content_type, response.contentType);
        message->set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : response.headers) message->set(name, value);
        message->body() = std::move(response.body);
        message->keep_alive(keepAlive && !server_->stopped);
        message->prepare_payload();
        if (head) {
            const auto length = message->body().size();
            message->body().clear();
            message->content_length(length);
        }
        // A client that does not read its answer is cut off like one that does not send.
        deadline_->expireAt(server_->clock.now() + server_->options.requestTimeout);
        http::async_write(stream_, *message,
                          [self = this->shared_from_this(), message](beast::error_code error, std::size_t) {
                              if (error || !message->keep_alive()) {
                                  self->deadline_->clear();
                                  self->abort();
                                  return;
                              }
                              self->read();
                          });
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    std::shared_ptr<ServerState> server_;
    std::string remote_;
    ConnectionSlot slot_;
    std::shared_ptr<Deadline> deadline_;
    std::optional<RequestParser> parser_;
};

class BeastWebServer final : public WebServer {
public:
    explicit BeastWebServer(std::shared_ptr<ServerState> state) : state_(std::move(state)), acceptor_(state_->context) {}

    std::optional<std::string> listen() {
        const std::string& address = state_->options.address;
        const bool onSocketFile = address.starts_with(kUnixPrefix);
        beast::error_code error;
        Protocol::endpoint endpoint;
        if (onSocketFile) {
            const std::string path = address.substr(kUnixPrefix.size());
            if (auto failure = removeStaleSocket(path)) return failure;
            endpoint = asio::local::stream_protocol::endpoint(path);
        } else {
            const auto ip = asio::ip::make_address(address, error);
            if (error) return "invalid listen address " + address;
            endpoint = tcp::endpoint(ip, state_->options.port);
        }
        acceptor_.open(endpoint.protocol(), error);
        if (!error && !onSocketFile) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
        if (!error) acceptor_.bind(endpoint, error);
        // The socket's group is the proxy's; nobody else may connect.
        if (!error && onSocketFile && ::chmod(address.c_str() + kUnixPrefix.size(), 0660) != 0)
            error = beast::error_code(errno, boost::system::system_category());
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) return "cannot listen on " + address + (onSocketFile ? "" : ":" + std::to_string(state_->options.port)) +
                          ": " + error.message();
        if (!onSocketFile) port_ = ipEndpoint(acceptor_.local_endpoint())->port();
        accept();
        return std::nullopt;
    }

    std::uint16_t port() const override { return port_; }
    bool tls() const override { return state_->tls.has_value(); }

    void shutdown() override {
        state_->stopped = true;
        beast::error_code ignored;
        acceptor_.close(ignored);
        for (const auto& entry : state_->live)
            if (auto session = entry.lock()) session->abort();
        state_->live.clear();
    }

private:
    void accept() {
        acceptor_.async_accept([this](beast::error_code error, Protocol::socket socket) {
            if (error == asio::error::operation_aborted || state_->stopped) return;
            if (!error) admit(std::move(socket));
            accept();
        });
    }

    void admit(Protocol::socket socket) {
        beast::error_code error;
        const auto peer = socket.remote_endpoint(error);
        if (error) return socket.close(error);
        const auto ip = ipEndpoint(peer);
        // Only the proxy can reach a Unix socket: its connections count as its.
        const std::string remote = ip ? *normalAddress(ip->address().to_string()) : std::string(kLocalPeer);
        const std::string key = limitKey(remote);
        if (const auto refusal = refusalFor(remote, key)) {
            if (state_->options.refusals) state_->options.refusals("connection from " + remote + " refused: " + *refusal);
            return socket.close(error);
        }
        if (ip) socket.set_option(tcp::no_delay(true), error);
        ConnectionSlot slot(state_, remote == state_->options.trustedProxy ? remote : key);
        if (state_->tls) {
            auto session = std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *state_->tls), state_,
                                                                    remote, std::move(slot));
            state_->track(session);
            session->start();
        } else {
            auto session = std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), state_, remote,
                                                                      std::move(slot));
            state_->track(session);
            session->start();
        }
    }

    // Why a new connection from `remote` (counted under `key`) is refused, if it is.
    std::optional<std::string> refusalFor(const std::string& remote, const std::string& key) const {
        const auto& options = state_->options;
        if (state_->connections >= options.maxConnections)
            return "all " + std::to_string(options.maxConnections) + " connections in use";
        if (remote == options.trustedProxy) return std::nullopt;
        const auto found = state_->connectionsFrom.find(key);
        const std::size_t held = found == state_->connectionsFrom.end() ? 0 : found->second;
        const bool crowded = 2 * state_->connections >= options.maxConnections;
        const std::size_t cap = crowded ? std::max<std::size_t>(1, options.maxConnectionsPerAddress / 8)
                                        : options.maxConnectionsPerAddress;
        if (held < cap) return std::nullopt;
        return std::to_string(held) + " connections from " + key + (crowded ? " while the relay is half full" : "");
    }

    // The IP endpoint behind `endpoint`, unless that is a Unix socket's.
    static std::optional<tcp::endpoint> ipEndpoint(const Protocol::endpoint& endpoint) {
        const int family = endpoint.protocol().family();
        if ((family != AF_INET && family != AF_INET6) || endpoint.size() > sizeof(sockaddr_in6)) return std::nullopt;
        tcp::endpoint ip;
        std::memcpy(ip.data(), endpoint.data(), endpoint.size());
        return ip;
    }

    // A socket file left by a relay that did not stop cleanly is removed; one that a
    // live process answers on, or another kind of file, is not.
    static std::optional<std::string> removeStaleSocket(const std::string& path) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
        if (!S_ISSOCK(info.st_mode)) return path + " exists and is not a socket";
        asio::io_context probe;
        asio::local::stream_protocol::socket socket(probe);
        beast::error_code error;
        socket.connect(asio::local::stream_protocol::endpoint(path), error);
        if (!error) return "another process listens on " + path;
        std::filesystem::remove(path, error);
        return std::nullopt;
    }

    std::shared_ptr<ServerState> state_;
    asio::basic_socket_acceptor<Protocol> acceptor_;
    std::uint16_t port_ = 0;
};

}  // namespace

Expected<std::unique_ptr<WebServer>, std::string> WebServer::start(asio::io_context& context, WebServerOptions options,
                                                                     WebHandler& handler, Deadlines& deadlines,
                                                                     const Clock& clock) {
    if (options.address.starts_with(kUnixPrefix)) {
        if (!options.trustedProxy.empty())
            return std::string("--trusted-proxy is for TCP: on a Unix socket every client is the proxy");
        options.trustedProxy = kLocalPeer;
    } else if (!options.trustedProxy.empty()) {
        auto proxy = normalAddress(options.trustedProxy);
        if (!proxy) return "--trusted-proxy wants the proxy's IP address, e.g. 127.0.0.1; \"" + options.trustedProxy +
                           "\" is not one";
        options.trustedProxy = std::move(*proxy);
    }
    auto state = std::make_shared<ServerState>(context, std::move(options), handler, deadlines, clock);
    if (state->options.tlsCertificate || state->options.tlsKey) {
        if (!state->options.tlsCertificate || !state->options.tlsKey)
            return std::string("TLS needs both a certificate and a key");
        state->tls.emplace(asio::ssl::context::tls_server);
        state->tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                                asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                                asio::ssl::context::no_tlsv1_1);
        beast::error_code error;
        state->tls->use_certificate_chain_file(state->options.tlsCertificate->string(), error);
        if (error) return "cannot load the TLS certificate " + state->options.tlsCertificate->string() + ": " + error.message();
        state->tls->use_private_key_file(state->options.tlsKey->string(), asio::ssl::context::pem, error);
        if (error) return "cannot load the TLS key " + state->options.tlsKey->string() + ": " + error.message();
    }
    auto server = std::make_unique<BeastWebServer>(std::move(state));
    if (auto failure = server->listen()) return *failure;
    return std::unique_ptr<WebServer>(std::move(server));
}

}  // namespace quorvel::relay
