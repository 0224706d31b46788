#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/config.h"

namespace quorvel::app {

// Where the configuration comes from and where the device key is kept.
class ConfigPort {
public:
    virtual ~ConfigPort() = default;
    // The configuration from its default, the built-in setting, the file, the key
    // store and the preferences.
    virtual Config load() = 0;
    // Forgets the stored device key (the computer was revoked).
    virtual void deleteDeviceKey() = 0;
};

// The user's preferences: string values under keys such as "session" and "source".
class PreferencesPort {
public:
    virtual ~PreferencesPort() = default;
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    virtual void setString(std::string_view key, const std::string& value) = 0;
    virtual void remove(std::string_view key) = 0;
};

}  // namespace quorvel::app
