#include "json/json.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cmath>

namespace quorvel::json {

std::optional<boost::json::value> parse(std::string_view text) {
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    boost::system::error_code error;
    boost::json::value value = boost::json::parse(text, error, {}, options);
    if (error) return std::nullopt;
    return value;
}

std::optional<boost::json::object> parseObject(std::string_view text) {
    auto value = parse(text);
    if (!value || !value->is_object()) return std::nullopt;
    return std::move(value->as_object());
}

std::optional<std::int64_t> integral(const boost::json::value* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_int64()) return value->get_int64();
    if (value->is_uint64()) {
        const std::uint64_t unsigned_value = value->get_uint64();
        if (unsigned_value > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(unsigned_value);
    }
    if (value->is_double()) {
        const double d = value->get_double();
        // 2^63 itself is out of range: (double)INT64_MAX rounds up to it.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::int64_t> count(const boost::json::value* value) {
    const auto n = integral(value);
    if (n && *n < 0) return std::nullopt;
    return n;
}

std::optional<double> number(const boost::json::value* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_int64()) return static_cast<double>(value->get_int64());
    if (value->is_uint64()) return static_cast<double>(value->get_uint64());
    if (value->is_double() && std::isfinite(value->get_double())) return value->get_double();
    return std::nullopt;
}

std::optional<std::string> string(const boost::json::value* value) {
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return std::string(value->get_string());
}

namespace {

bool allFinite(const boost::json::value& value) {
    if (value.is_double()) return std::isfinite(value.get_double());
    if (const auto* array = value.if_array())
        return std::all_of(array->begin(), array->end(), [](const auto& item) { return allFinite(item); });
    if (const auto* object = value.if_object())
        return std::all_of(object->begin(), object->end(), [](const auto& member) { return allFinite(member.value()); });
    return true;
}

void nullNonFinite(boost::json::value& value) {
    if (value.is_double() && !std::isfinite(value.get_double())) value = nullptr;
    if (auto* array = value.if_array())
        for (auto& item : *array) nullNonFinite(item);
    if (auto* object = value.if_object())
        for (auto& member : *object) nullNonFinite(member.value());
}

}  // namespace

// Boost.JSON writes Infinity and NaN, which no JSON parser reads (ours included): a
// text holding them would make a whole file unreadable. They are written as null.
std::string serialize(const boost::json::value& value) {
    if (allFinite(value)) return boost::json::serialize(value);
    boost::json::value finite = value;
    nullNonFinite(finite);
    return boost::json::serialize(finite);
}

}  // namespace quorvel::json
