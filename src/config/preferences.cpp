#include "config/preferences.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "config/files.h"
#include "config/paths.h"
#include "text/utf8.h"
#include "json/json.h"

namespace quorvel::Preferences {

namespace {

std::mutex& fileMutex() {
    static std::mutex mutex;
    return mutex;
}

struct Loaded {
    boost::json::object values;
    bool corrupt = false;  // something is there that is not a preferences object
};

Loaded load(const std::string& path) {
    if (!files::exists(path)) return {};
    auto text = files::readSmallFile(path, kMaxBytes);
    if (!text) return {{}, true};
    auto object = fromText(*text);
    if (!object) return {{}, true};
    return {std::move(*object), false};
}

bool moveAside(const std::string& path) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string base = path + ".corrupt-" + std::to_string(seconds);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (files::exists(target)) continue;
        return std::rename(path.c_str(), target.c_str()) == 0;
    }
    return false;
}

bool update(std::string_view key, std::optional<std::string_view> value) {
    std::lock_guard lock(fileMutex());
    const std::string path = paths::preferencesFile();
    Loaded loaded = load(path);
    if (loaded.corrupt && !moveAside(path)) return false;
    return files::writeAtomically(path, toText(std::move(loaded.values), key, value), 0600);
}

}  // namespace

std::optional<boost::json::object> fromText(std::string_view text) {
    return json::parseObject(text);
}

std::string toText(boost::json::object values, std::string_view key, std::optional<std::string_view> value) {
    if (value) values[key] = *value;
    else values.erase(key);
    return json::serialize(values);
}

std::optional<std::string> string(std::string_view key) {
    std::lock_guard lock(fileMutex());
    const Loaded loaded = load(paths::preferencesFile());
    return json::string(json::member(loaded.values, key));
}

bool setString(std::string_view key, std::string_view value) {
    // Text that is not UTF-8 would make the whole file unreadable as JSON.
    if (!text::isValidUTF8(key) || !text::isValidUTF8(value)) return false;
    return update(key, value);
}

bool remove(std::string_view key) {
    return update(key, std::nullopt);
}

}  // namespace quorvel::Preferences
