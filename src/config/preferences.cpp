#include "config/preferences.h"

#include <boost/json/object.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>

#include "config/files.h"
#include "config/paths.h"
#include "config/utf8.h"
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
    auto object = json::parseObject(*text);
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

bool update(const std::function<void(boost::json::object&)>& change) {
    std::lock_guard lock(fileMutex());
    const std::string path = paths::preferencesFile();
    Loaded loaded = load(path);
    if (loaded.corrupt && !moveAside(path)) return false;
    change(loaded.values);
    return files::writeAtomically(path, json::serialize(loaded.values), 0600);
}

}  // namespace

std::optional<std::string> string(std::string_view key) {
    std::lock_guard lock(fileMutex());
    const Loaded loaded = load(paths::preferencesFile());
    return json::string(json::member(loaded.values, key));
}

bool setString(std::string_view key, std::string_view value) {
    // Text that is not UTF-8 would make the whole file unreadable as JSON.
    if (!isValidUTF8(key) || !isValidUTF8(value)) return false;
    return update([&](boost::json::object& values) { values[key] = value; });
}

bool remove(std::string_view key) {
    return update([&](boost::json::object& values) { values.erase(key); });
}

}  // namespace quorvel::Preferences
