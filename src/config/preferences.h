#pragma once

#include <boost/json/object.hpp>

#include <optional>
#include <string>
#include <string_view>

// The user's preferences ("deviceName", "session", "source"): one JSON object in
// paths::preferencesFile(), replaced atomically on every write. A file that is not a
// JSON object reads as empty, and the next write first moves it aside (to a name
// ending in ".corrupt-<time>") rather than overwriting it. Safe to call from any thread.
namespace quorvel::Preferences {

// The text stored under `key`; absent when missing or not a string.
std::optional<std::string> string(std::string_view key);
// Stores `value` under `key`; false when the file could not be written.
bool setString(std::string_view key, std::string_view value);
// Removes `key`; false when the file could not be written.
bool remove(std::string_view key);

// The file's text apart from the file: the values a text holds (nothing when it is
// not a JSON object, a corrupt file), and the text that stores `values` with `key`
// set to `value` (nothing: removed), every other member kept.
std::optional<boost::json::object> fromText(std::string_view text);
std::string toText(boost::json::object values, std::string_view key, std::optional<std::string_view> value);

// The preferences file is small; a larger one is treated as corrupt.
inline constexpr std::size_t kMaxBytes = 1024 * 1024;

}  // namespace quorvel::Preferences
