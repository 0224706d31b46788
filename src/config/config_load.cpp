#include <boost/json/object.hpp>

#include "config/config.h"
#include "config/files.h"
#include "config/keychain.h"
#include "config/paths.h"
#include "config/preferences.h"
#include "json/json.h"

namespace quorvel {

namespace {

// The configuration file holds two short strings; anything bigger is not one.
constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

}  // namespace

Config Config::load() { return load(QUORVEL_BUILTIN_SERVER); }

Config Config::load(std::string_view builtInServer) {
    std::optional<std::string> key = Keychain::get();
    const auto text = files::readSmallFile(paths::configFile(), kMaxConfigFileBytes);
    return fromSources(builtInServer, std::move(key), text, Preferences::string("deviceName"));
}

Config Config::fromSources(std::string_view builtInServer, std::optional<std::string> storedKey,
                           std::optional<std::string_view> fileText, std::optional<std::string> deviceName) {
    std::string server = builtInServer.empty() ? defaultServer : std::string(builtInServer);
    std::optional<std::string> key = std::move(storedKey);
    if (auto object = fileText ? json::parseObject(*fileText) : std::nullopt) {
        if (auto fileServer = json::string(json::member(*object, "server"))) server = std::move(*fileServer);
        if (auto fileKey = json::string(json::member(*object, "key"))) key = std::move(*fileKey);
    }

    // The built-in address is not tried again: a broken file address means the default.
    if (!isValidURL(server)) server = defaultServer;
    return Config{std::move(server), std::move(key), std::move(deviceName)};
}

}  // namespace quorvel
