#include "config/config.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

namespace quorvel {

const std::string Config::defaultServer = "wss://relay.velmora.studio/ws/send";

bool isValidURL(std::string_view text) {
    return !text.empty() && boost::urls::parse_uri_reference(text).has_value();
}

std::optional<std::string> Config::apiURL(std::string_view path) const {
    if (!isValidURL(serverURL)) return std::nullopt;
    auto parsed = boost::urls::parse_uri_reference(serverURL);
    boost::urls::url url(*parsed);
    const bool plain = url.has_scheme() && url.scheme() == "ws";
    url.set_scheme(plain ? "http" : "https");
    url.set_path(path);
    url.remove_query();
    if (!boost::urls::parse_uri_reference(url.buffer())) return std::nullopt;
    return std::string(url.buffer());
}

}  // namespace quorvel
