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

// The file's top-level object, or why there is none (nothing to say when it is absent).
Expected<boost::json::object, std::optional<std::string>> readConfigFile() {
    const std::string path = paths::configFile();
    if (!files::exists(path)) return std::optional<std::string>();
    const auto problem = [&path](const std::string& why) {
        return std::optional<std::string>("The configuration file " + path + " could not be read (" + why +
                                          "); its settings are ignored.");
    };
    const auto text = files::readSmallFile(path, kMaxConfigFileBytes);
    if (!text) return problem("not a readable file of at most 1 MB");
    std::string_view content = *text;
    // Some editors start UTF-8 files with a byte-order mark; JSON itself has none.
    if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
    auto value = json::parse(content);
    if (!value) return problem("not valid JSON");
    if (!value->is_object()) return problem("its top level is not a JSON object");
    return std::move(value->as_object());
}

}  // namespace

Config Config::load() { return load(QUORVEL_BUILTIN_SERVER); }

Config Config::load(std::string_view builtInServer) {
    std::string server = builtInServer.empty() ? defaultServer : std::string(builtInServer);
    std::optional<std::string> key = Keychain::get();

    if (const auto object = readConfigFile()) {
        if (auto fileServer = json::string(json::member(*object, "server"))) server = std::move(*fileServer);
        if (auto fileKey = json::string(json::member(*object, "key"))) key = std::move(*fileKey);
    }

    // The built-in address is not tried again: a broken file address means the default.
    if (!isValidURL(server)) server = defaultServer;
    return Config{std::move(server), std::move(key), Preferences::string("deviceName")};
}

std::optional<std::string> Config::fileProblem() {
    const auto object = readConfigFile();
    return object ? std::nullopt : object.error();
}

}  // namespace quorvel
