#pragma once

#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The JSON rules every peer of ours follows: parsing never throws, and numbers are
// checked on their parsed kind (a bool or a string is never a number).
namespace quorvel::json {

inline constexpr std::size_t kMaxDepth = 32;

// The parsed document, or nothing for text that is not JSON (or nests deeper than kMaxDepth).
std::optional<boost::json::value> parse(std::string_view text);
// The parsed document when it is an object.
std::optional<boost::json::object> parseObject(std::string_view text);

// A JSON number with an integral value: an integer, or a float with an exact int64 value.
std::optional<std::int64_t> integral(const boost::json::value* value);
// A count of something: an integral number that is not negative.
std::optional<std::int64_t> count(const boost::json::value* value);
// Any finite JSON number, as a double.
std::optional<double> number(const boost::json::value* value);
// A JSON string member.
std::optional<std::string> string(const boost::json::value* value);

// Member lookup that answers null for a missing key: integral(object.if_contains("x")).
inline const boost::json::value* member(const boost::json::object& object, std::string_view key) {
    return object.if_contains(key);
}

// JSON text for `value`; numbers that are not finite are written as null.
std::string serialize(const boost::json::value& value);

}  // namespace quorvel::json
