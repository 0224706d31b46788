#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel::relay {

// A client's IP address as the relay writes and compares it: IPv4-mapped IPv6
// addresses ("::ffff:192.0.2.1") as the IPv4 address they stand for, IPv6 in its
// canonical short form. Nothing when `text` is not an IP address.
std::optional<std::string> normalAddress(std::string_view text);

// What the per-client limits count a normalised address under: an IPv4 address on its
// own, an IPv6 address by its /64 (one subscriber's network hands out a whole /64).
std::string limitKey(const std::string& address);

}  // namespace quorvel::relay
