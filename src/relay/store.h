#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "runtime/expected.h"

struct sqlite3;

namespace quorvel::relay {

using Done = std::monostate;
template <typename T>
using StoreResult = Expected<T, std::string>;

struct Device {
    std::int64_t id = 0;
    std::string name;
    std::int64_t createdAtMs = 0;
    std::optional<std::int64_t> revokedAtMs;
};

struct LinkRecord {
    std::string id;
    std::string name;
    std::string passwordHash;
    std::int64_t maxListeners = 1;
    std::int64_t createdAtMs = 0;
    std::int64_t deviceId = 0;
    bool ended = false;
};

// The relay's durable state in one SQLite database (WAL mode) inside the data
// directory: the studio password hash, the paired devices (key digests only) and the
// links. One Store is one connection; use it from one thread.
class Store {
public:
    static StoreResult<std::unique_ptr<Store>> open(const std::filesystem::path& dataDir);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    StoreResult<std::optional<std::string>> studioPasswordHash();
    StoreResult<Done> setStudioPasswordHash(const std::string& hash);

    // Adds a device; when `name` is taken, stores "name (2)", "name (3)", … instead.
    StoreResult<Device> addDevice(const std::string& name, const std::string& keyDigest, std::int64_t nowMs);
    StoreResult<std::optional<Device>> deviceByKeyDigest(const std::string& keyDigest);
    StoreResult<std::optional<Device>> deviceById(std::int64_t id);
    StoreResult<std::vector<Device>> devices();
    // False when no such device exists; revoking twice keeps the first time.
    StoreResult<bool> revokeDevice(std::int64_t id, std::int64_t nowMs);

    StoreResult<Done> addLink(const LinkRecord& link);
    StoreResult<std::optional<LinkRecord>> link(const std::string& id);
    // Links not ended, newest first.
    StoreResult<std::vector<LinkRecord>> liveLinks();
    // False when the link does not exist or has already ended.
    StoreResult<bool> endLink(const std::string& id, std::int64_t nowMs);

    // Changes whenever another connection (another process) commits.
    StoreResult<std::int64_t> dataVersion();

private:
    explicit Store(sqlite3* db) : db_(db) {}
    StoreResult<Done> exec(const char* sql);
    std::string lastError() const;

    sqlite3* db_;
};

// Where the data lives when --data is not given: $XDG_DATA_HOME/quorvel-relay, else
// ~/.local/share/quorvel-relay.
std::filesystem::path defaultDataDir();

}  // namespace quorvel::relay
