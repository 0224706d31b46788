// The client side's WebSocket transport: the one translation unit with Beast's websocket and
// TLS streams for the client side (they are slow to compile).
#include "net/websocket_connection.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>

#include <deque>

namespace quorvel {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct Endpoint {
    bool secure = false;
    bool ipLiteral = false;
    std::string host;        // for DNS, SNI and certificate checks: no brackets
    std::string port;
    std::string hostHeader;  // as the URL spells it, with the port if the URL has one
    std::string target;      // path and query, exactly as configured
};

std::optional<Endpoint> parseEndpoint(const std::string& url) {
    auto parsed = boost::urls::parse_uri(url);
    if (!parsed) return std::nullopt;
    const boost::urls::url_view& u = *parsed;
    Endpoint endpoint;
    if (u.scheme_id() == boost::urls::scheme::ws) endpoint.secure = false;
    else if (u.scheme_id() == boost::urls::scheme::wss) endpoint.secure = true;
    else return std::nullopt;
    switch (u.host_type()) {
        case boost::urls::host_type::ipv4:
            endpoint.host = u.host_ipv4_address().to_string();
            endpoint.ipLiteral = true;
            break;
        case boost::urls::host_type::ipv6:
            endpoint.host = u.host_ipv6_address().to_string();
            endpoint.ipLiteral = true;
            break;
        case boost::urls::host_type::name:
            endpoint.host = u.host_name();
            break;
        default:
            return std::nullopt;
    }
    if (endpoint.host.empty()) return std::nullopt;
    endpoint.port = u.has_port() ? std::string(u.port()) : (endpoint.secure ? "443" : "80");
    endpoint.hostHeader = std::string(u.encoded_host_and_port());
    endpoint.target = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
    if (u.has_query()) endpoint.target += "?" + std::string(u.encoded_query());
    return endpoint;
}

using PlainStream = websocket::stream<beast::tcp_stream>;
using SecureStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

template <class Stream>
class Connection final : public WebSocketConnection, public std::enable_shared_from_this<Connection<Stream>> {
public:
    static constexpr bool kSecure = std::is_same_v<Stream, SecureStream>;

    Connection(asio::io_context& context, Endpoint endpoint, const WebSocketOptions& options,
               std::unique_ptr<ssl::context> tls)
        : context_(context),
          endpoint_(std::move(endpoint)),
          options_(options),
          tls_(std::move(tls)),
          resolver_(context),
          ws_(makeStream(context, tls_.get())) {}

    void start(error_code setupError) {
        if (setupError) {
            asio::post(context_, [self = this->shared_from_this(), setupError] { self->fail(setupError); });
            return;
        }
        resolver_.async_resolve(endpoint_.host, endpoint_.port,
                                [self = this->shared_from_this()](error_code error, tcp::resolver::results_type results) {
                                    self->onResolved(error, results);
                                });
    }

    void receive(OnMessage handler) override {
        if (receiver_) return;
        receiver_ = std::move(handler);
        if (phase_ == Phase::open) read();
        else if (phase_ != Phase::opening) failReceive(asio::error::operation_aborted);
    }

    void sendText(std::string text, Completion done) override {
        enqueue(Outgoing{false, std::move(text), Packet(), std::move(done)});
    }

    void sendBinary(Packet packet, Completion done) override {
        enqueue(Outgoing{true, std::string(), std::move(packet), std::move(done)});
    }

    void close(std::function<void()> done) override {
        if (phase_ != Phase::open) {
            cancel();
            asio::post(context_, std::move(done));
            return;
        }
        phase_ = Phase::closing;
        failQueued(asio::error::operation_aborted);
        ws_.async_close(websocket::close_code::normal,
                        [self = this->shared_from_this(), done = std::move(done)](error_code error) {
                            self->fail(error ? error : error_code(asio::error::operation_aborted));
                            done();
                        });
    }

    void cancel() override { fail(asio::error::operation_aborted); }

    bool isOpen() const override { return phase_ == Phase::open; }

    std::optional<std::uint16_t> closeCode() const override { return closeCode_; }

private:
    enum class Phase { opening, open, closing, closed };

    struct Outgoing {
        bool binary = false;
        std::string text;
        Packet packet;
        Completion done;
    };

    static Stream makeStream(asio::io_context& context, ssl::context* tls) {
        if constexpr (kSecure) return Stream(context, *tls);
        else return Stream(context);
    }

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(ws_); }

    void onResolved(error_code error, const tcp::resolver::results_type& results) {
        if (phase_ != Phase::opening) return;
        if (error) return fail(error);
        lowest().expires_after(options_.handshakeTimeout);
        lowest().async_connect(results, [self = this->shared_from_this()](error_code error, const tcp::endpoint&) {
            self->onConnected(error);
        });
    }

    void onConnected(error_code error) {
        if (phase_ != Phase::opening) return;
        if (error) return fail(error);
        // Nagle plus delayed acknowledgements would hold back every packet.
        error_code ignored;
        lowest().socket().set_option(tcp::no_delay(true), ignored);
        if (options_.sendBufferBytes > 0)
            lowest().socket().set_option(asio::socket_base::send_buffer_size(options_.sendBufferBytes), ignored);
        if constexpr (kSecure) {
            auto& tlsStream = ws_.next_layer();
            // SNI carries host names only, never address literals.
            if (!endpoint_.ipLiteral && !SSL_set_tlsext_host_name(tlsStream.native_handle(), endpoint_.host.c_str()))
                return fail(error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()));
            tlsStream.set_verify_mode(ssl::verify_peer);
            tlsStream.set_verify_callback(ssl::host_name_verification(endpoint_.host));
            tlsStream.async_handshake(ssl::stream_base::client, [self = this->shared_from_this()](error_code error) {
                if (self->phase_ != Phase::opening) return;
                if (error) return self->fail(error);
                self->upgrade();
            });
        } else {
            upgrade();
        }
    }

    void upgrade() {
        lowest().expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = options_.handshakeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.read_message_max(options_.maxMessageBytes);
        // A client masks what it sends through this buffer: large enough for a whole
        // 96 kHz stereo packet, each message leaves in one system call.
        ws_.write_buffer_bytes(32 * 1024);
        ws_.async_handshake(endpoint_.hostHeader, endpoint_.target, [self = this->shared_from_this()](error_code error) {
            if (self->phase_ != Phase::opening) return;
            if (error) return self->fail(error);
            self->phase_ = Phase::open;
            if (self->receiver_) self->read();
            self->writeNext();
        });
    }

    void read() {
        reading_ = true;
        ws_.async_read(buffer_, [self = this->shared_from_this()](error_code error, std::size_t) {
            self->reading_ = false;
            OnMessage handler = std::move(self->receiver_);
            self->receiver_ = nullptr;
            if (error) {
                // The peer's close frame may have come in while a write held the stream,
                // and that write's failure ended the connection first.
                const auto reason = self->ws_.reason().code;
                if (error == websocket::error::closed || reason != websocket::close_code::none)
                    self->closeCode_ = static_cast<std::uint16_t>(reason);
                self->fail(error);
                if (handler) handler(error, {});
                return;
            }
            Message message{!self->ws_.got_text(), beast::buffers_to_string(self->buffer_.data())};
            self->buffer_.consume(self->buffer_.size());
            if (handler) handler({}, std::move(message));
        });
    }

    void enqueue(Outgoing item) {
        if (phase_ == Phase::closing || phase_ == Phase::closed) {
            asio::post(context_, [done = std::move(item.done)] {
                if (done) done(asio::error::operation_aborted);
            });
            return;
        }
        queue_.push_back(std::move(item));
        writeNext();
    }

    void writeNext() {
        if (writing_ || queue_.empty() || phase_ != Phase::open) return;
        writing_ = true;
        Outgoing& item = queue_.front();
        ws_.binary(item.binary);
        const asio::const_buffer buffer = item.binary ? asio::buffer(item.packet.bytes().data(), item.packet.size())
                                                      : asio::buffer(item.text);
        ws_.async_write(buffer, [self = this->shared_from_this()](error_code error, std::size_t) {
            self->onWritten(error);
        });
    }

    void onWritten(error_code error) {
        writing_ = false;
        Outgoing item = std::move(queue_.front());
        queue_.pop_front();
        if (error) fail(error);
        if (item.done) item.done(error);
        if (phase_ == Phase::open) writeNext();
        else failQueued(asio::error::operation_aborted);
    }

    // Completes, oldest first, every message not yet handed to Beast; the one being
    // written gets its own completion.
    void failQueued(error_code error) {
        const std::size_t keep = writing_ ? 1 : 0;
        for (std::size_t i = keep; i < queue_.size(); ++i)
            asio::post(context_, [done = std::move(queue_[i].done), error] {
                if (done) done(error);
            });
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(keep), queue_.end());
    }

    void failReceive(error_code error) {
        if (!receiver_ || reading_) return;
        asio::post(context_, [handler = std::move(receiver_), error] { handler(error, {}); });
        receiver_ = nullptr;
    }

    void fail(error_code error) {
        if (phase_ == Phase::closed) return;
        phase_ = Phase::closed;
        resolver_.cancel();
        lowest().cancel();
        lowest().close();
        failQueued(error);
        failReceive(error);
    }

    asio::io_context& context_;
    Endpoint endpoint_;
    WebSocketOptions options_;
    std::unique_ptr<ssl::context> tls_;
    tcp::resolver resolver_;
    Stream ws_;
    beast::flat_buffer buffer_;
    Phase phase_ = Phase::opening;
    OnMessage receiver_;
    bool reading_ = false;
    std::deque<Outgoing> queue_;
    bool writing_ = false;
    std::optional<std::uint16_t> closeCode_;
};

std::unique_ptr<ssl::context> makeTlsContext(const WebSocketOptions& options, error_code& error) {
    auto tls = std::make_unique<ssl::context>(ssl::context::tls_client);
    tls->set_default_verify_paths(error);
    if (!error && options.extraCaFile) tls->load_verify_file(*options.extraCaFile, error);
    tls->set_verify_mode(ssl::verify_peer);
    return tls;
}

}  // namespace

std::shared_ptr<WebSocketConnection> WebSocketConnection::open(asio::io_context& context, const std::string& url,
                                                               const WebSocketOptions& options) {
    auto endpoint = parseEndpoint(url);
    if (!endpoint) {
        auto broken = std::make_shared<Connection<PlainStream>>(context, Endpoint{}, options, nullptr);
        broken->start(asio::error::invalid_argument);
        return broken;
    }
    if (endpoint->secure) {
        error_code error;
        auto tls = makeTlsContext(options, error);
        auto connection = std::make_shared<Connection<SecureStream>>(context, std::move(*endpoint), options, std::move(tls));
        connection->start(error);
        return connection;
    }
    auto connection = std::make_shared<Connection<PlainStream>>(context, std::move(*endpoint), options, nullptr);
    connection->start({});
    return connection;
}

}  // namespace quorvel
