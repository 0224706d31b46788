#include "app/adapters/settings_adapter.h"

#include "config/keychain.h"
#include "config/preferences.h"

namespace quorvel::app {

Config SystemConfig::load() {
    return Config::load();
}

void SystemConfig::deleteDeviceKey() {
    Keychain::deleteKey();
}

std::optional<std::string> SystemPreferences::string(std::string_view key) const {
    return Preferences::string(key);
}

// A preference that could not be written is lost for the next start only; the
// running application keeps its state either way.
void SystemPreferences::setString(std::string_view key, const std::string& value) {
    Preferences::setString(key, value);
}

void SystemPreferences::remove(std::string_view key) {
    Preferences::remove(key);
}

}  // namespace quorvel::app
