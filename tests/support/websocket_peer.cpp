// The test relay's WebSocket server: the one test translation unit with Beast's server side.
#include "support/websocket_peer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "json/json.h"

namespace quorvel::test {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

class Session {
public:
    virtual ~Session() = default;
    virtual void write(bool binary, std::string data) = 0;
    virtual void close() = 0;
    virtual void drop() = 0;
    virtual void reset() = 0;
    virtual void resumeReading() = 0;
};

}  // namespace

struct WebSocketPeer::Impl {
    explicit Impl(Options peerOptions) : options(std::move(peerOptions)) {}

    Options options;
    asio::io_context io;
    std::unique_ptr<ssl::context> tls;
    tcp::acceptor acceptor{io};
    unsigned short port = 0;
    std::thread thread;

    // Peer thread only.
    std::vector<std::shared_ptr<Session>> sessions;  // by connection number - 1
    std::vector<std::shared_ptr<tcp::socket>> silentSockets;

    // Guarded by mutex.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::optional<std::string> helloReply;
    bool closeAfterHello = false;
    std::optional<double> pongOffset;
    bool silent = false;
    bool reading = true;
    Record record;

    template <class Change>
    void update(Change change) {
        {
            std::lock_guard lock(mutex);
            change(record);
        }
        changed.notify_all();
    }

    void accept();
    void startSession(tcp::socket socket);
};

namespace {

using PlainStream = websocket::stream<beast::tcp_stream>;
using SecureStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

template <class Stream>
class PeerSession final : public Session, public std::enable_shared_from_this<PeerSession<Stream>> {
public:
    static constexpr bool kSecure = std::is_same_v<Stream, SecureStream>;

    PeerSession(WebSocketPeer::Impl* peer, tcp::socket socket)
        : peer_(peer), ws_(makeStream(std::move(socket), peer_->tls.get())) {}

    void start() {
        if constexpr (kSecure) {
            ws_.next_layer().async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](error_code error) {
                const char* name = SSL_get_servername(self->ws_.next_layer().native_handle(), TLSEXT_NAMETYPE_host_name);
                self->peer_->update([&](WebSocketPeer::Record& record) {
                    if (error) ++record.tlsFailures;
                    else record.serverNames.push_back(name != nullptr ? name : "");
                });
                if (!error) self->upgrade();
            });
        } else {
            upgrade();
        }
    }

    void write(bool binary, std::string data) override {
        queue_.push_back({binary, std::move(data)});
        writeNext();
    }

    void close() override {
        closeRequested_ = true;
        writeNext();
    }

    void drop() override {
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).close();
    }

    void reset() override {
        error_code ignored;
        auto& socket = beast::get_lowest_layer(ws_).socket();
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
    }

    void resumeReading() override {
        if (waitingToRead_) read();
    }

private:
    static Stream makeStream(tcp::socket socket, ssl::context* tls) {
        if constexpr (kSecure) return Stream(std::move(socket), *tls);
        else return Stream(std::move(socket));
    }

    void upgrade() {
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.read_message_max(64 * 1024 * 1024);
        ws_.async_accept([self = this->shared_from_this()](error_code error) {
            if (error) return;
            self->peer_->update([&](WebSocketPeer::Record& record) { self->number_ = ++record.upgrades; });
            self->peer_->sessions.push_back(self);
            self->read();
        });
    }

    void read() {
        {
            std::lock_guard lock(peer_->mutex);
            waitingToRead_ = !peer_->reading;
        }
        if (waitingToRead_) return;
        ws_.async_read(buffer_, [self = this->shared_from_this()](error_code error, std::size_t) {
            if (error) {
                const bool closeFrame = error == websocket::error::closed;
                const int code = self->ws_.reason().code;
                self->peer_->update([&](WebSocketPeer::Record& record) {
                    ++record.closed;
                    if (closeFrame) record.closeCodes.push_back(code);
                });
                return;
            }
            WebSocketPeer::Message message{self->number_, !self->ws_.got_text(),
                                           beast::buffers_to_string(self->buffer_.data()),
                                           std::chrono::steady_clock::now()};
            self->buffer_.consume(self->buffer_.size());
            // Re-armed before the message is recorded: a test that saw it and then stops
            // the reading knows that exactly one more message will be read.
            self->read();
            self->received(std::move(message));
        });
    }

    void received(WebSocketPeer::Message message) {
        if (message.binary && message.data.size() > peer_->options.keepBinaryBytes)
            message.data.resize(peer_->options.keepBinaryBytes);

        std::optional<std::string> reply;
        bool closeAfter = false;
        if (!message.binary) {
            const auto object = json::parseObject(message.data);
            const auto type = object ? json::string(json::member(*object, "type")) : std::nullopt;
            std::lock_guard lock(peer_->mutex);
            if ((type == "hello" || type == "listen") && peer_->helloReply) {
                reply = peer_->helloReply;
                closeAfter = peer_->closeAfterHello;
            } else if (type == "ping" && peer_->pongOffset) {
                const auto t = json::number(json::member(*object, "t"));
                if (t) {
                    boost::json::object pong{{"type", "pong"}, {"s", *t + *peer_->pongOffset}};
                    pong["t"] = *json::member(*object, "t");  // echoed unchanged
                    reply = json::serialize(pong);
                }
            }
        }
        peer_->update([&](WebSocketPeer::Record& record) { record.messages.push_back(std::move(message)); });
        if (reply) write(false, std::move(*reply));
        if (closeAfter) close();
    }

    void writeNext() {
        if (writing_ || closing_) return;
        if (queue_.empty()) {
            if (!closeRequested_) return;
            closing_ = true;
            ws_.async_close(websocket::close_code::normal, [self = this->shared_from_this()](error_code) {});
            return;
        }
        writing_ = true;
        ws_.binary(queue_.front().first);
        ws_.async_write(asio::buffer(queue_.front().second), [self = this->shared_from_this()](error_code error, std::size_t) {
            self->writing_ = false;
            self->queue_.pop_front();
            if (!error) self->writeNext();
        });
    }

    WebSocketPeer::Impl* peer_;  // outlives every session's handlers
    Stream ws_;
    beast::flat_buffer buffer_;
    int number_ = 0;
    bool waitingToRead_ = false;
    std::deque<std::pair<bool, std::string>> queue_;
    bool writing_ = false;
    bool closeRequested_ = false;
    bool closing_ = false;
};

}  // namespace

void WebSocketPeer::Impl::accept() {
    acceptor.async_accept([self = this](error_code error, tcp::socket socket) {
        if (error) return;
        self->update([](Record& record) { ++record.tcpConnections; });
        self->startSession(std::move(socket));
        self->accept();
    });
}

void WebSocketPeer::Impl::startSession(tcp::socket socket) {
    bool quiet = false;
    {
        std::lock_guard lock(mutex);
        quiet = silent;
    }
    if (quiet) {
        silentSockets.push_back(std::make_shared<tcp::socket>(std::move(socket)));
        return;
    }
    if (tls) std::make_shared<PeerSession<SecureStream>>(this, std::move(socket))->start();
    else std::make_shared<PeerSession<PlainStream>>(this, std::move(socket))->start();
}

std::string WebSocketPeer::Message::type() const {
    if (binary) return "";
    const auto object = json::parseObject(data);
    if (!object) return "";
    return json::string(json::member(*object, "type")).value_or("");
}

std::vector<WebSocketPeer::Message> WebSocketPeer::Record::of(int connection) const {
    std::vector<Message> result;
    for (const auto& message : messages)
        if (message.connection == connection) result.push_back(message);
    return result;
}

int WebSocketPeer::Record::count(const std::string& type) const {
    int n = 0;
    for (const auto& message : messages) n += message.type() == type ? 1 : 0;
    return n;
}

int WebSocketPeer::Record::binaryCount() const {
    int n = 0;
    for (const auto& message : messages) n += message.binary ? 1 : 0;
    return n;
}

WebSocketPeer::WebSocketPeer() : WebSocketPeer(Options{}) {}

WebSocketPeer::WebSocketPeer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    if (impl_->options.certFile && impl_->options.keyFile) {
        impl_->tls = std::make_unique<ssl::context>(ssl::context::tls_server);
        impl_->tls->use_certificate_chain_file(*impl_->options.certFile);
        impl_->tls->use_private_key_file(*impl_->options.keyFile, ssl::context::pem);
    }
    const tcp::endpoint endpoint(asio::ip::make_address(impl_->options.address), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    if (impl_->options.receiveBufferBytes > 0)
        impl_->acceptor.set_option(asio::socket_base::receive_buffer_size(impl_->options.receiveBufferBytes));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

WebSocketPeer::~WebSocketPeer() {
    impl_->io.stop();
    impl_->thread.join();
    impl_->sessions.clear();
    impl_->silentSockets.clear();
}

unsigned short WebSocketPeer::port() const { return impl_->port; }

std::string WebSocketPeer::url(std::string host) const {
    if (host.empty()) host = impl_->options.address.find(':') == std::string::npos ? impl_->options.address
                                                                                   : "[" + impl_->options.address + "]";
    return std::string(impl_->tls ? "wss" : "ws") + "://" + host + ":" + std::to_string(port()) + "/ws/send";
}

void WebSocketPeer::answerHello(std::optional<std::string> reply, bool thenClose) {
    std::lock_guard lock(impl_->mutex);
    impl_->helloReply = std::move(reply);
    impl_->closeAfterHello = thenClose;
}

void WebSocketPeer::answerPings(std::optional<double> serverOffsetMs) {
    std::lock_guard lock(impl_->mutex);
    impl_->pongOffset = serverOffsetMs;
}

void WebSocketPeer::setSilent(bool silent) {
    std::lock_guard lock(impl_->mutex);
    impl_->silent = silent;
}

void WebSocketPeer::setReading(bool reading) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->reading = reading;
    }
    if (reading)
        asio::post(impl_->io, [impl = impl_.get()] {
            for (auto& session : impl->sessions) session->resumeReading();
        });
}

namespace {

template <class Action>
void onNewest(WebSocketPeer::Impl* impl, Action action) {
    asio::post(impl->io, [impl, action = std::move(action)]() mutable {
        if (!impl->sessions.empty()) action(*impl->sessions.back());
    });
}

}  // namespace

void WebSocketPeer::sendText(std::string text) {
    onNewest(impl_.get(), [text = std::move(text)](Session& session) mutable { session.write(false, std::move(text)); });
}

void WebSocketPeer::sendBinary(std::string bytes) {
    onNewest(impl_.get(), [bytes = std::move(bytes)](Session& session) mutable { session.write(true, std::move(bytes)); });
}

void WebSocketPeer::close() {
    onNewest(impl_.get(), [](Session& session) { session.close(); });
}

void WebSocketPeer::drop() {
    onNewest(impl_.get(), [](Session& session) { session.drop(); });
}

void WebSocketPeer::reset() {
    onNewest(impl_.get(), [](Session& session) { session.reset(); });
}

WebSocketPeer::Record WebSocketPeer::record() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->record;
}

bool WebSocketPeer::waitFor(const std::function<bool(const Record&)>& condition, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return condition(impl_->record); });
}

}  // namespace quorvel::test
