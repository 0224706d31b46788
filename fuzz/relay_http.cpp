// What a client sends the relay over one HTTP connection: read with the relay's parser
// and limits, request after request while the connection is kept alive, and each one
// answered by the relay's real handler (REST, listener pages, upgrades).
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "check.h"
#include "json/json.h"
#include "relay/http_request.h"
#include "relay_fixture.h"

namespace {

using namespace quorvel;

// The connection's bytes as a socket hands them out: at most `chunk` at a time.
class ByteStream {
public:
    ByteStream(const std::uint8_t* data, std::size_t size, std::size_t chunk) : data_(data), size_(size), chunk_(chunk) {}

    template <typename Buffers>
    std::size_t read_some(const Buffers& buffers, boost::system::error_code& error) {
        if (size_ == 0) {
            error = boost::asio::error::eof;
            return 0;
        }
        const std::size_t copied =
            boost::asio::buffer_copy(buffers, boost::asio::buffer(data_, std::min(size_, chunk_)));
        data_ += copied;
        size_ -= copied;
        error = {};
        return copied;
    }
    template <typename Buffers>
    std::size_t read_some(const Buffers& buffers) {
        boost::system::error_code error;
        const std::size_t read = read_some(buffers, error);
        if (error) throw boost::system::system_error(error);
        return read;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
};

void checkResponse(const relay::HttpResponse& response) {
    FUZZ_REQUIRE(response.status >= 200 && response.status <= 599);
    if (response.contentType == "application/json") FUZZ_REQUIRE(json::parse(response.body));
}

bool stored(const relay::HttpRequest& request, const relay::HttpResponse& response) {
    return response.status == 200 && (request.target.starts_with("/api/pair") ||
                                      request.target.starts_with("/api/device/sessions"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto& fixture = *new fuzz::RelayFixture();
    static int writes = 0;
    if (size == 0) return 0;
    // The first byte decides how the bytes arrive: all at once, or in small pieces.
    ByteStream stream(data + 1, size - 1, data[0] == 0 ? size : data[0]);
    const relay::WebServerOptions limits;
    boost::beast::flat_buffer buffer(limits.maxHeaderBytes + limits.maxBodyBytes);
    for (;;) {
        relay::RequestParser parser;
        relay::limitRequest(parser, limits.maxHeaderBytes, limits.maxBodyBytes);
        boost::system::error_code error;
        boost::beast::http::read(stream, buffer, parser, error);
        auto read = relay::readRequest(error, parser, "203.0.113.7");
        if (read.kind == relay::ReadRequest::Kind::reject) checkResponse(read.rejection);
        if (read.kind == relay::ReadRequest::Kind::upgrade) fixture.relay().acceptWebSocket(read.path, "203.0.113.7");
        if (read.kind != relay::ReadRequest::Kind::request) break;

        const relay::HttpRequest request = read.request;
        std::optional<relay::HttpResponse> response;
        fixture.relay().handleRequest(std::move(read.request), [&](relay::HttpResponse answer) {
            FUZZ_REQUIRE(!response);
            response = std::move(answer);
        });
        fixture.runUntil([&] { return response.has_value(); });
        checkResponse(*response);
        writes += stored(request, *response);
        if (!read.keepAlive) break;
    }
    // Past the pairing limiter's window, so that every input may pair.
    fixture.advance(std::chrono::hours(1));
    if (writes > 200) {
        fixture.reset();
        writes = 0;
    }
    return 0;
}
