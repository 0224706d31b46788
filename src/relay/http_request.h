#pragma once

// Reading one HTTP request, apart from the socket it came on: the relay's limits on a
// request parser, and what the parser's outcome comes to (an answer for the handler,
// a WebSocket upgrade, a refusal, or nothing to answer at all).

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <string>

#include "relay/web_server.h"

namespace quorvel::relay {

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

void limitRequest(RequestParser& parser, std::size_t maxHeaderBytes, std::size_t maxBodyBytes);

struct ReadRequest {
    enum class Kind {
        request,  // `request` is complete; answer it
        upgrade,  // a WebSocket upgrade for `path`; the message stays in the parser
        reject,   // answer `rejection` and close
        drop,     // the peer went away or sent something not worth an answer: close
    };
    Kind kind = Kind::drop;
    HttpRequest request;  // an upgrade's has only the target and the client's address
    std::string path;  // the target without its query
    HttpResponse rejection;
    bool keepAlive = false;
    unsigned version = 11;
};

// What a read into `parser` that ended with `error` comes to. For a request, its body
// is moved out of the parser. The client is the peer at `remoteAddress`, unless that is
// the `trustedProxy`: then it is the last address of the request's X-Forwarded-For
// (normalised; a request whose last entry is not an address is refused). Both addresses
// come normalised (client_address.h).
ReadRequest readRequest(boost::beast::error_code error, RequestParser& parser, const std::string& remoteAddress,
                        const std::string& trustedProxy);

}  // namespace quorvel::relay
