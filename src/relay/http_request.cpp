#include "relay/http_request.h"

#include <boost/beast/websocket/rfc6455.hpp>

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

}  // namespace

ReadRequest readRequest(boost::beast::error_code error, RequestParser& parser, const std::string& remoteAddress) {
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
    if (boost::beast::websocket::is_upgrade(message)) {
        read.kind = ReadRequest::Kind::upgrade;
        return read;
    }
    read.kind = ReadRequest::Kind::request;
    read.request.method = std::string(message.method_string());
    read.request.body = std::move(message.body());
    read.request.ifNoneMatch = std::string(message[boost::beast::http::field::if_none_match]);
    read.request.remoteAddress = remoteAddress;
    return read;
}

}  // namespace quorvel::relay
