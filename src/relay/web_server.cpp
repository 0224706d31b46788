// The relay's Beast transport: HTTP/1.1 and WebSocket sessions over
// plain TCP or TLS, with bounded buffers, bounded send queues and deadlines.
#include "relay/web_server.h"
#include "relay/http_request.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <deque>
#include <type_traits>

namespace quorvel::relay {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

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
    bool stopped = false;
    std::vector<std::weak_ptr<Abortable>> live;

    void track(const std::shared_ptr<Abortable>& session) {
        std::erase_if(live, [](const auto& entry) { return entry.expired(); });
        live.push_back(session);
    }
};

// Counts one open connection for as long as it exists.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::shared_ptr<ServerState> server) : server_(std::move(server)) { ++server_->connections; }
    ~ConnectionSlot() {
        if (server_) --server_->connections;
    }
    ConnectionSlot(ConnectionSlot&& other) noexcept : server_(std::move(other.server_)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;

private:
    std::shared_ptr<ServerState> server_;
};

template <typename Stream>
void closeSocket(Stream& stream) {
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(stream).socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
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
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = server_->options.requestTimeout;
        timeout.idle_timeout = endpoint_.keepAliveIdle ? beast::websocket::stream_base::duration(*endpoint_.keepAliveIdle)
                                                       : websocket::stream_base::none();
        timeout.keep_alive_pings = endpoint_.keepAliveIdle.has_value();
        ws_.set_option(timeout);
        ws_.read_message_max(server_->options.maxBinaryMessage);
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
        queue_.push_back(Outgoing{true, std::move(text), nullptr});
        ++queuedTexts_;
        pump();
    }

    bool sendBinary(SharedBytes bytes) override {
        if (closeRequested_ || queuedBinary_ >= endpoint_.maxQueuedBinary) return false;
        queue_.push_back(Outgoing{false, {}, std::move(bytes)});
        ++queuedBinary_;
        pump();
        return true;
    }

    void close(CloseCode code) override {
        if (closeRequested_ || finished_) return;
        closeRequested_ = code;
        // Keep the message being written (its buffer is in use) and the texts.
        const auto keepFrom = writing_ ? queue_.begin() + 1 : queue_.begin();
        const auto removed = std::remove_if(keepFrom, queue_.end(), [](const Outgoing& out) { return !out.text; });
        queuedBinary_ -= static_cast<std::size_t>(std::distance(removed, queue_.end()));
        queue_.erase(removed, queue_.end());
        deadline_->expireAt(server_->clock.now() + server_->options.requestTimeout);
        pump();
    }

    const std::string& remoteAddress() const override { return remote_; }

    void abort() override { closeSocket(ws_.next_layer()); }

private:
    struct Outgoing {
        bool text;
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
        ws_.text(front.text);
        const auto buffer = front.text ? asio::buffer(front.textData) : asio::buffer(*front.binary);
        ws_.async_write(buffer, [self = this->shared_from_this()](beast::error_code error, std::size_t) {
            self->onWrite(error);
        });
    }

    void onWrite(beast::error_code error) {
        writing_ = false;
        if (queue_.front().text) {
            if (queuedTexts_ > 0) --queuedTexts_;
        } else if (queuedBinary_ > 0) {
            --queuedBinary_;
        }
        queue_.pop_front();
        if (error || finished_) {
            queue_.clear();
            queuedTexts_ = queuedBinary_ = 0;
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
    bool finished_ = false;
    bool closeStarted_ = false;
    std::optional<CloseCode> closeRequested_;
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
        ReadRequest read = readRequest(error, *parser_, remote_);
        switch (read.kind) {
        case ReadRequest::Kind::reject: return write(std::move(read.rejection), false, read.version);
        case ReadRequest::Kind::drop: return abort();
        case ReadRequest::Kind::upgrade: deadline_->clear(); return upgrade(read.path, parser_->release());
        case ReadRequest::Kind::request: break;
        }
        deadline_->clear();
        server_->handler.handleRequest(std::move(read.request), [self = this->shared_from_this(), keepAlive = read.keepAlive,
                                                                 version = read.version](HttpResponse response) {
            self->write(std::move(response), keepAlive, version);
        });
    }

    void upgrade(const std::string& path, http::request<http::string_body> request) {
        auto endpoint = server_->handler.acceptWebSocket(path, remote_);
        if (!endpoint) return write(HttpResponse{404, "application/json", "{}", {}}, false, request.version());
        deadline_->clear();
        auto session = std::make_shared<WsSession<Stream>>(std::move(stream_), server_, remote_, std::move(*endpoint),
                                                           std::move(slot_));
        server_->track(session);
        session->run(std::move(request));
    }

    void write(HttpResponse response, bool keepAlive, unsigned version) {
        auto message = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status),
                                                                            version);
        message->set(http::field::server, "quorvel-relay");
        message->set(http::field::content_type, response.contentType);
        message->set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : response.headers) message->set(name, value);
        message->body() = std::move(response.body);
        message->keep_alive(keepAlive && !server_->stopped);
        message->prepare_payload();
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
        beast::error_code error;
        const auto address = asio::ip::make_address(state_->options.address, error);
        if (error) return "invalid listen address " + state_->options.address;
        const tcp::endpoint endpoint(address, state_->options.port);
        acceptor_.open(endpoint.protocol(), error);
        if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
        if (!error) acceptor_.bind(endpoint, error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) return "cannot listen on " + state_->options.address + ":" + std::to_string(state_->options.port) +
                          ": " + error.message();
        port_ = acceptor_.local_endpoint().port();
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
        acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted || state_->stopped) return;
            if (!error) admit(std::move(socket));
            accept();
        });
    }

    void admit(tcp::socket socket) {
        beast::error_code error;
        const auto peer = socket.remote_endpoint(error);
        if (error || state_->connections >= state_->options.maxConnections) {
            socket.close(error);
            return;
        }
        socket.set_option(tcp::no_delay(true), error);
        ConnectionSlot slot(state_);
        const std::string remote = peer.address().to_string();
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

    std::shared_ptr<ServerState> state_;
    tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
};

}  // namespace

Expected<std::unique_ptr<WebServer>, std::string> WebServer::start(asio::io_context& context, WebServerOptions options,
                                                                     WebHandler& handler, Deadlines& deadlines,
                                                                     const Clock& clock) {
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
