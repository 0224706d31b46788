#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "relay/secrets.h"
#include "relay/store.h"

// The offline commands of quorvel-relay, working on the data directory's database
// (also while a server runs on it: it notices a revocation within a second).
namespace quorvel::relay::admin {

// Sets (or replaces) the studio password. Refuses an empty one.
StoreResult<Done> setStudioPassword(const std::filesystem::path& dataDir, const std::string& password,
                                    secrets::Cost cost = secrets::Cost::interactive);
StoreResult<std::vector<Device>> listDevices(const std::filesystem::path& dataDir);
// False when there is no device with that id.
StoreResult<bool> revokeDevice(const std::filesystem::path& dataDir, std::int64_t id);

// One line per device: id, name, created, revoked (ISO 8601 UTC, or "-").
std::string formatDevices(const std::vector<Device>& devices);

}  // namespace quorvel::relay::admin
