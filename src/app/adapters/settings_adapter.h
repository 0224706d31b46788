#pragma once

#include <functional>

#include "app/settings_port.h"
#include "runtime/executor.h"
#include "runtime/serial_queue.h"

namespace quorvel::app {

// The configuration as Config::load() reads it; the device key in the key store.
// Reading and deleting the key can take seconds (a Secret Service that is slow to
// answer), so after the first reading both run on the queue "quorvel.keys": load()
// hands out the configuration read last.
class SystemConfig final : public ConfigPort {
public:
    // Reads the configuration on the calling thread.
    SystemConfig();
    ~SystemConfig() override;
    SystemConfig(const SystemConfig&) = delete;
    SystemConfig& operator=(const SystemConfig&) = delete;
    Config load() override { return loaded_; }
    void deleteDeviceKey() override;
    // Reads the configuration again on the keys' queue; load() returns it from the
    // moment `done` runs on `mainQueue`.
    void reload(Executor& mainQueue, std::function<void()> done);

private:
    Config loaded_;  // main queue
    std::shared_ptr<SystemConfig*> self_;  // what readings from the queue reach; null once gone
    SerialQueue keys_{"quorvel.keys"};     // last: it stops before the rest goes
};

// The preferences file.
class SystemPreferences final : public PreferencesPort {
public:
    std::optional<std::string> string(std::string_view key) const override;
    void setString(std::string_view key, const std::string& value) override;
    void remove(std::string_view key) override;
};

}  // namespace quorvel::app
