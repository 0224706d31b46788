#include "app/adapters/settings_adapter.h"

#include "config/keychain.h"
#include "config/preferences.h"

namespace quorvel::app {

SystemConfig::SystemConfig() : loaded_(Config::load()), self_(std::make_shared<SystemConfig*>(this)) {}

SystemConfig::~SystemConfig() {
    *self_ = nullptr;
    keys_.drain();  // a deletion still queued must not be lost
}

void SystemConfig::deleteDeviceKey() {
    keys_.executor().post([] { Keychain::deleteKey(); });
}

void SystemConfig::reload(Executor& mainQueue, std::function<void()> done) {
    keys_.executor().post([self = self_, &mainQueue, done = std::move(done)] {
        mainQueue.post([self, done, config = Config::load()] {
            if (!*self) return;
            (*self)->loaded_ = config;
            done();
        });
    });
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
