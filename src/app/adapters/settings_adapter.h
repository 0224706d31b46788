#pragma once

#include "app/settings_port.h"

namespace quorvel::app {

// The configuration as Config::load() reads it; the device key in the Keychain.
class SystemConfig final : public ConfigPort {
public:
    Config load() override;
    void deleteDeviceKey() override;
};

// The preferences file.
class SystemPreferences final : public PreferencesPort {
public:
    std::optional<std::string> string(std::string_view key) const override;
    void setString(std::string_view key, const std::string& value) override;
    void remove(std::string_view key) override;
};

}  // namespace quorvel::app
