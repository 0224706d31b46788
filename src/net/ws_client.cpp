// The client side's WebSocket transport over Beast (plain or TLS), in one translation unit.
#include "net/ws_client.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>

#include <deque>

namespace quorvel::net {

std::optional<WebSocketAddress> parseWebSocketAddress(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed) return std::nullopt;
    WebSocketAddress address;
    if (parsed->scheme() == "wss")
        address.tls = true;
    else if (parsed->scheme() != "ws")
        return std::nullopt;
    address.host = parsed->host_address();
    if (address.host.empty()) return std::nullopt;
    address.port = parsed->has_port() ? std::string(parsed->port()) : (address.tls ? "443" : "80");
    address.target = std::string(parsed->encoded_target());
    if (address.target.empty()) address.target = "/";
    return address;
}

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using PlainSocket = websocket::stream<beast::tcp_stream>;
using TlsSocket = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

class BeastClient final : public WebSocketClient, public std::enable_shared_from_this<BeastClient> {
public:
    BeastClient(asio::io_context& context, WebSocketClientOptions options)
        : context_(context), options_(std::move(options)), resolver_(context) {}

    void connect(const WebSocketAddress& address) override {
        address_ = address;
        if (address.tls) {
            tlsContext_.emplace(asio::ssl::context::tls_client);
            tlsContext_->set_default_verify_paths();
            beast::error_code error;
            if (options_.extraCaFile) tlsContext_->load_verify_file(*options_.extraCaFile, error);
            if (error) return fail("cannot read the CA file: " + error.message());
            tlsContext_->set_verify_mode(asio::ssl::verify_peer);
            tls_.emplace(context_, *tlsContext_);
        } else {
            plain_.emplace(context_);
        }
        resolver_.async_resolve(address.host, address.port,
                                [self = shared_from_this()](beast::error_code error, tcp::resolver::results_type results) {
                                    if (error) return self->fail("cannot resolve the host: " + error.message());
                                    self->withSocket([&](auto& ws) { self->connectTo(ws, results); });
                                });
    }

    void sendText(std::string text) override { enqueue(Outgoing{true, std::move(text), {}}); }
    void sendBinary(std::vector<std::uint8_t> bytes) override { enqueue(Outgoing{false, {}, std::move(bytes)}); }

    void close(std::uint16_t code) override {
        if (closeCode_ || finished_) return;
        closeCode_ = code;
        pump();
    }

    void abort() override {
        if (!plain_ && !tls_) return;
        withSocket([](auto& ws) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
        });
    }

    std::size_t queued() const override { return queue_.size(); }

private:
    struct Outgoing {
        bool text;
        std::string textData;
        std::vector<std::uint8_t> binary;
    };

    template <typename F>
    void withSocket(F&& f) {
        if (plain_)
            f(*plain_);
        else
            f(*tls_);
    }

    template <typename Socket>
    void connectTo(Socket& ws, const tcp::resolver::results_type& results) {
        beast::get_lowest_layer(ws).expires_after(options_.handshakeTimeout);
        beast::get_lowest_layer(ws).async_connect(
            results, [self = shared_from_this(), &ws](beast::error_code error, const tcp::endpoint&) {
                if (error) return self->fail("cannot connect: " + error.message());
                beast::error_code ignored;
                beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true), ignored);
                self->secure(ws);
            });
    }

    void secure(PlainSocket& ws) { handshake(ws); }

    void secure(TlsSocket& ws) {
        auto& stream = ws.next_layer();
        beast::error_code error;
        asio::ip::make_address(address_.host, error);
        // SNI only for names, never for IP addresses.
        if (error && !SSL_set_tlsext_host_name(stream.native_handle(), address_.host.c_str()))
            return fail("cannot set the TLS server name");
        stream.set_verify_callback(asio::ssl::host_name_verification(address_.host));
        stream.async_handshake(asio::ssl::stream_base::client, [self = shared_from_this(), &ws](beast::error_code error) {
            if (error) return self->fail("TLS handshake failed: " + error.message());
            self->handshake(ws);
        });
    }

    template <typename Socket>
    void handshake(Socket& ws) {
        beast::get_lowest_layer(ws).expires_never();
        websocket::stream_base::timeout timeout = websocket::stream_base::timeout::suggested(beast::role_type::client);
        timeout.handshake_timeout = options_.handshakeTimeout;
        ws.set_option(timeout);
        ws.read_message_max(options_.maxMessageBytes);
        const bool ipv6 = address_.host.find(':') != std::string::npos;
        const std::string host = (ipv6 ? "[" + address_.host + "]" : address_.host) + ":" + address_.port;
        ws.async_handshake(host, address_.target, [self = shared_from_this(), &ws](beast::error_code error) {
            if (error) return self->fail("WebSocket handshake failed: " + error.message());
            self->open_ = true;
            if (self->onOpen) self->onOpen();
            self->read(ws);
            self->pump();
        });
    }

    template <typename Socket>
    void read(Socket& ws) {
        ws.async_read(buffer_, [self = shared_from_this(), &ws](beast::error_code error, std::size_t) {
            if (error) {
                const auto code = static_cast<std::uint16_t>(ws.reason().code);
                if (error == websocket::error::closed) return self->finish(WebSocketClosed{code, {}});
                return self->finish(WebSocketClosed{code, error.message()});
            }
            const auto data = self->buffer_.cdata();
            if (self->onMessage)
                self->onMessage(ws.got_text(),
                                std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data.data()), data.size()));
            self->buffer_.consume(self->buffer_.size());
            if (!self->finished_) self->read(ws);
        });
    }

    void enqueue(Outgoing out) {
        if (closeCode_ || finished_) return;
        queue_.push_back(std::move(out));
        pump();
    }

    void pump() {
        if (!open_ || writing_ || finished_) return;
        if (queue_.empty()) {
            if (closeCode_ && !closing_) {
                closing_ = true;
                withSocket([&](auto& ws) {
                    ws.async_close(websocket::close_reason(*closeCode_), [self = shared_from_this()](beast::error_code) {});
                });
            }
            return;
        }
        writing_ = true;
        withSocket([&](auto& ws) {
            const Outgoing& front = queue_.front();
            ws.text(front.text);
            const auto buffer = front.text ? asio::buffer(front.textData) : asio::buffer(front.binary);
            ws.async_write(buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
                self->writing_ = false;
                if (!self->queue_.empty()) self->queue_.pop_front();
                if (error) {
                    self->queue_.clear();
                    return;
                }
                self->pump();
            });
        });
    }

    void fail(const std::string& message) { finish(WebSocketClosed{0, message}); }

    void finish(const WebSocketClosed& closed) {
        if (finished_) return;
        finished_ = true;
        // The message being written keeps its buffer until its completion.
        queue_.erase(writing_ ? queue_.begin() + 1 : queue_.begin(), queue_.end());
        abort();
        if (onClosed) onClosed(closed);
        onOpen = nullptr;
        onMessage = nullptr;
        onClosed = nullptr;
    }

    asio::io_context& context_;
    WebSocketClientOptions options_;
    WebSocketAddress address_;
    tcp::resolver resolver_;
    std::optional<asio::ssl::context> tlsContext_;
    std::optional<PlainSocket> plain_;
    std::optional<TlsSocket> tls_;
    beast::flat_buffer buffer_;
    std::deque<Outgoing> queue_;
    std::optional<std::uint16_t> closeCode_;
    bool open_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool finished_ = false;
};

}  // namespace

std::shared_ptr<WebSocketClient> WebSocketClient::create(asio::io_context& context, WebSocketClientOptions options) {
    return std::make_shared<BeastClient>(context, std::move(options));
}

}  // namespace quorvel::net
