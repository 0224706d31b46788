#include "relay/http_request.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include "relay/client_address.h"

namespace quorvel::relay {

namespace http = boost::beast::http;

void limitRequest(RequestParser& parser, std::size_t maxHeaderBytes, std::size_t maxBodyBytes) {
    parser.body_limit(maxBodyBytes);
    parser.header_limit(static_cast<std::uint32_t>(maxHeaderBytes));
}

namespace {

ReadRequest rejected(int status, std::string body) {
    ReadRequest read;
    read.kind = ReadRequest::Kind::reject;
    read.rejection = HttpResponse{status, "application/json", std::move(body), {}};
    return read;
}

// Nothing when the proxy forwarded something that is not an address.
std::optional<std::string> clientAddress(const http::request<http::string_body>& request,
                                         const std::string& remoteAddress, const std::string& trustedProxy) {
    if (remoteAddress != trustedProxy) return remoteAddress;
    const auto forwarded = request["X-Forwarded-For"];
    const auto last = forwarded.substr(forwarded.find_last_of(',') + 1);
    const auto first = last.find_first_not_of(' ');
    if (first == boost::beast::string_view::npos) return remoteAddress;
    return normalAddress(std::string_view(last.substr(first, last.find_last_not_of(' ') - first + 1)));
}

}  // namespace

ReadRequest readRequest(boost::beast::error_code error, RequestParser& parser, const std::string& remoteAddress,
                        const std::string& trustedProxy) {
    if (error == http::error::body_limit) return rejected(413, R"({"error":"too_large"})");
    if (error == http::error::header_limit) return rejected(431, R"({"error":"headers_too_large"})");
    if (error == http::error::buffer_overflow) return rejected(413, R"({"error":"too_large"})");
    if (error && error.category() == http::make_error_code(http::error::bad_target).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message)
        return rejected(400, R"({"error":"bad_request"})");
    if (error) return {};

    auto& message = parser.get();
    ReadRequest read;
    read.request.target = std::string(message.target());
    read.path = read.request.target.substr(0, read.request.target.find('?'));
    read.keepAlive = message.keep_alive();
    read.version = message.version();
    auto client = clientAddress(message, remoteAddress, trustedProxy);
    if (!client) return rejected(400, R"({"error":"bad_forwarded_for"})");
    read.request.remoteAddress = std::move(*client);
    if (boost::beast::websocket::is_upgrade(message)) {
        read.kind = ReadRequest::Kind::upgrade;
        return read;
    }
    read.kind = ReadRequest::Kind::request;
    read.request.method = std::string(message.method_string());
    read.request.body = std::move(message.body());
    read.request.ifNoneMatch = std::string(message[boost::beast::http::field::if_none_match]);
    return read;
}

}  // namespace quorvel::relay
