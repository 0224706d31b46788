#include "capture/source_choice.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace quorvel {

SourceChoice SourceChoice::input(std::string uid, std::int64_t first) {
    return SourceChoice(Kind::input, std::move(uid), first);
}

SourceChoice SourceChoice::direct() {
    return SourceChoice(Kind::direct, {}, 0);
}

std::string SourceChoice::key() const {
    if (kind_ == Kind::direct) return "direct";
    return "input|" + std::to_string(first_) + "|" + uid_;
}

namespace {

// A base-10 integer with an optional leading sign, all of `text`, within int64.
std::optional<std::int64_t> parseInt64(std::string_view text) {
    const bool plus = !text.empty() && text.front() == '+';
    const bool minus = !text.empty() && text.front() == '-';
    const std::string_view magnitude = text.substr(plus || minus ? 1 : 0);
    if (magnitude.empty() ||
        !std::all_of(magnitude.begin(), magnitude.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::string_view digits = plus ? magnitude : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

// Splits at '|': empty fields are dropped; after two non-empty fields, everything
// behind the separator that ended the second is the third field, verbatim.
std::vector<std::string_view> splitKey(std::string_view key) {
    std::vector<std::string_view> fields;
    std::size_t position = 0;
    while (fields.size() < 2 && position <= key.size()) {
        const std::size_t separator = key.find('|', position);
        const std::size_t end = separator == std::string_view::npos ? key.size() : separator;
        if (end > position) fields.push_back(key.substr(position, end - position));
        if (separator == std::string_view::npos) return fields;
        position = separator + 1;
    }
    if (fields.size() == 2 && position < key.size()) fields.push_back(key.substr(position));
    return fields;
}

}  // namespace

std::optional<SourceChoice> SourceChoice::fromKey(std::string_view key) {
    if (key == "direct") return direct();
    const auto fields = splitKey(key);
    if (fields.size() != 3 || fields[0] != "input") return std::nullopt;
    const auto first = parseInt64(fields[1]);
    if (!first) return std::nullopt;
    return input(std::string(fields[2]), *first);
}

}  // namespace quorvel
