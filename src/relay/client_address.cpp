#include "relay/client_address.h"

#include <boost/asio/ip/address.hpp>

namespace quorvel::relay {

namespace ip = boost::asio::ip;

std::optional<std::string> normalAddress(std::string_view text) {
    boost::system::error_code error;
    const auto address = ip::make_address(std::string(text), error);
    if (error) return std::nullopt;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

std::string limitKey(const std::string& address) {
    boost::system::error_code error;
    const auto parsed = ip::make_address_v6(address, error);
    if (error) return address;
    auto bytes = parsed.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return ip::address_v6(bytes).to_string() + "/64";
}

}  // namespace quorvel::relay
