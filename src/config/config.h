#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Where the relay server is and who this computer is. A plain value.
struct Config {
    // WebSocket address of the relay; the sender connects to it unchanged.
    std::string serverURL;
    // Device key issued by pairing; absent means not paired.
    std::optional<std::string> senderKey;
    // Name of this computer as the server confirmed it.
    std::optional<std::string> deviceName;

    // The default relay address: always a wss URL with path "/ws/send".
    static const std::string defaultServer;

    // The configuration from its stored sources, read afresh on every call, in this
    // order: the built-in server address (QUORVEL_BUILTIN_SERVER) or the default; the
    // key store; the configuration file's "server" and "key" (strings only); the
    // "deviceName" preference. Never fails and never writes anything.
    static Config load();
    // The same with another built-in address (empty: none), as a differently built binary would.
    static Config load(std::string_view builtInServer);
    // What load() makes of its sources, once read: the key store's key, the
    // configuration file's text (absent: no readable file) and the "deviceName" preference.
    static Config fromSources(std::string_view builtInServer, std::optional<std::string> storedKey,
                              std::optional<std::string_view> fileText, std::optional<std::string> deviceName);
    // Why the configuration file is there but load() had to ignore it (unreadable, not
    // JSON, not an object), naming the file; nothing when it is absent or usable. load()
    // stays silent about it; the command-line tools print this.
    static std::optional<std::string> fileProblem();

    // REST address for an API path: scheme http for a ws server, https otherwise;
    // the path replaced (percent-encoded where needed), the query removed; user,
    // password, host, port and fragment kept. Absent when no URL can be formed.
    std::optional<std::string> apiURL(std::string_view path) const;
    std::optional<std::string> pairURL() const { return apiURL("/api/pair"); }

    bool operator==(const Config&) const = default;
};

// Whether `text` parses as a URL (absolute or relative reference); empty text and
// text with characters a URL cannot hold (such as a space) do not.
bool isValidURL(std::string_view text);

}  // namespace quorvel
