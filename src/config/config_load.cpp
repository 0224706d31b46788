#include <boost/json/object.hpp>

#include "config/config.h"
#include "config/files.h"
#include "config/keychain.h"
#include "config/paths.h"
#include "config/preferences.h"
#include "json/json.h"
#include "runtime/expected.h"

namespace quorvel {

namespace {

// The configuration file holds two short strings; anything bigger is not one.
constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

// The top-level object of the file's text, or why it is not usable.
Expected<boost::json::object, std::string> configObject(std::string_view text) {
    // Some editors start UTF-8 files with a byte-order mark; JSON itself has none.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    auto value = json::parse(text);
    if (!value) return std::string("not valid JSON");
    if (!value->is_object()) return std::string("its top level is not a JSON object");
    return std::move(value->as_object());
}

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
    if (fileText) {
        if (const auto object = configObject(*fileText)) {
            if (auto fileServer = json::string(json::member(*object, "server"))) server = std::move(*fileServer);
            if (auto fileKey = json::string(json::member(*object, "key"))) key = std::move(*fileKey);
        }
    }

    // The built-in address is not tried again: a broken file address means the default.
    if (!isValidURL(server)) server = defaultServer;
    return Config{std::move(server), std::move(key), std::move(deviceName)};
}

std::optional<std::string> Config::fileProblem() {
    const std::string path = paths::configFile();
    if (!files::exists(path)) return std::nullopt;
    const auto problem = [&path](const std::string& why) {
        return "The configuration file " + path + " could not be read (" + why + "); its settings are ignored.";
    };
    const auto text = files::readSmallFile(path, kMaxConfigFileBytes);
    if (!text) return problem("not a readable file of at most 1 MB");
    const auto object = configObject(*text);
    if (!object) return problem(object.error());
    return std::nullopt;
}

}  // namespace quorvel
