#include "support/http_test_peer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <mutex>
#include <optional>
#include <thread>

namespace quorvel::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

// Sessions point at the peer without owning it: they live inside its io_context, whose
// destruction releases them.
struct HttpTestPeer::Impl {
    asio::io_context context;
    std::optional<asio::ssl::context> tls;
    tcp::acceptor acceptor{context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
    mutable std::mutex mutex;
    Reply current;                  // guarded by mutex
    std::vector<Request> received;  // guarded by mutex
    std::thread thread;

    Reply currentReply() const {
        std::lock_guard lock(mutex);
        return current;
    }

    void accept() {
        acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
            if (error) return;
            if (tls) {
                auto session = std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(
                    this, asio::ssl::stream<tcp::socket>(std::move(socket), *tls));
                session->stream.async_handshake(asio::ssl::stream_base::server,
                                                [session](boost::system::error_code handshakeError) {
                                                    if (!handshakeError) session->read();
                                                });
            } else {
                std::make_shared<Session<tcp::socket>>(this, std::move(socket))->read();
            }
            accept();
        });
    }

    template <typename Stream>
    struct Session : std::enable_shared_from_this<Session<Stream>> {
        Session(Impl* peer, Stream stream)
            : peer(peer), stream(std::move(stream)), timer(this->stream.get_executor()) {}

        Impl* peer;
        Stream stream;
        asio::steady_timer timer;
        boost::beast::flat_buffer buffer;
        http::request<http::string_body> request;
        std::string raw;
        std::size_t dripped = 0;
        std::string dripBody;
        std::chrono::milliseconds dripInterval{};

        void read() {
            request = {};
            http::async_read(stream, buffer, request,
                             [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
                                 if (!error) self->answer();
                             });
        }

        void answer() {
            {
                std::lock_guard lock(peer->mutex);
                peer->received.push_back({std::string(request.method_string()), std::string(request.target()),
                                          std::string(request[http::field::content_type]), request.body()});
            }
            const Reply reply = peer->currentReply();
            switch (reply.mode) {
            case Reply::Mode::silent: return read();  // holds the connection, answers nothing
            case Reply::Mode::hangUp: {
                boost::system::error_code ignored;
                auto& socket = boost::beast::get_lowest_layer(stream);
                socket.shutdown(tcp::socket::shutdown_both, ignored);
                socket.close(ignored);
                return;
            }
            case Reply::Mode::drip: {
                raw = head(reply, reply.body.size());
                dripBody = reply.body;
                dripInterval = reply.dripInterval;
                asio::async_write(stream, asio::buffer(raw),
                                  [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
                                      if (!error) self->drip();
                                  });
                return;
            }
            case Reply::Mode::answer:
                raw = head(reply, reply.body.size()) + reply.body;
                asio::async_write(stream, asio::buffer(raw),
                                  [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
                                      if (!error) self->read();
                                  });
                return;
            }
        }

        void drip() {
            if (dripped >= dripBody.size()) return read();
            timer.expires_after(dripInterval);
            timer.async_wait([self = this->shared_from_this()](boost::system::error_code error) {
                if (error) return;
                asio::async_write(self->stream, asio::buffer(&self->dripBody[self->dripped], 1),
                                  [self](boost::system::error_code writeError, std::size_t) {
                                      if (writeError) return;
                                      ++self->dripped;
                                      self->drip();
                                  });
            });
        }

        static std::string head(const Reply& reply, std::size_t length) {
            return "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\nContent-Type: application/json\r\n" +
                   "Content-Length: " + std::to_string(length) + "\r\n\r\n";
        }
    };
};

HttpTestPeer::HttpTestPeer() : impl_(std::make_unique<Impl>()) {
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

HttpTestPeer::HttpTestPeer(const std::string& certificateFile, const std::string& keyFile)
    : impl_(std::make_unique<Impl>()) {
    impl_->tls.emplace(asio::ssl::context::tls_server);
    impl_->tls->use_certificate_chain_file(certificateFile);
    impl_->tls->use_private_key_file(keyFile, asio::ssl::context::pem);
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

HttpTestPeer::~HttpTestPeer() {
    impl_->context.stop();
    impl_->thread.join();
}

void HttpTestPeer::reply(Reply reply) {
    std::lock_guard lock(impl_->mutex);
    impl_->current = std::move(reply);
}

std::vector<HttpTestPeer::Request> HttpTestPeer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

unsigned short HttpTestPeer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::string HttpTestPeer::serverURL() const {
    return std::string(impl_->tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port()) + "/ws/send";
}

}  // namespace quorvel::test
