#include "relay/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace quorvel::relay {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS studio (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    password_hash TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS devices (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    key_digest TEXT NOT NULL UNIQUE,
    created_at INTEGER NOT NULL,
    revoked_at INTEGER
);
CREATE TABLE IF NOT EXISTS links (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    max_listeners INTEGER NOT NULL,
    created_at INTEGER NOT NULL,
    device_id INTEGER NOT NULL REFERENCES devices(id),
    ended_at INTEGER
);
)sql";

// One prepared statement, finalized on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int index, const std::string& text) {
        if (stmt_) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        if (stmt_) sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string text(int column) const {
        const auto* data = sqlite3_column_text(stmt_, column);
        return data ? std::string(reinterpret_cast<const char*>(data), sqlite3_column_bytes(stmt_, column))
                    : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

Device readDevice(const Statement& row) {
    Device device;
    device.id = row.integer(0);
    device.name = row.text(1);
    device.createdAtMs = row.integer(2);
    if (!row.isNull(3)) device.revokedAtMs = row.integer(3);
    return device;
}

LinkRecord readLink(const Statement& row) {
    LinkRecord link;
    link.id = row.text(0);
    link.name = row.text(1);
    link.passwordHash = row.text(2);
    link.maxListeners = row.integer(3);
    link.createdAtMs = row.integer(4);
    link.deviceId = row.integer(5);
    link.ended = !row.isNull(6);
    return link;
}

constexpr const char* kDeviceColumns = "SELECT id, name, created_at, revoked_at FROM devices ";
constexpr const char* kLinkColumns =
    "SELECT id, name, password_hash, max_listeners, created_at, device_id, ended_at FROM links ";

// What a mode says about a file or directory, in the octal form chmod takes.
std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// A new data directory is made for the owner alone. An existing one is the
// administrator's: it is refused when others may list or change it, and never altered.
StoreResult<Done> preparePrivateDirectory(const std::filesystem::path& dataDir) {
    std::error_code error;
    if (dataDir.has_parent_path()) std::filesystem::create_directories(dataDir.parent_path(), error);
    if (!error && ::mkdir(dataDir.c_str(), 0700) == 0) return Done{};
    if (!error && errno != EEXIST) error = std::error_code(errno, std::generic_category());
    struct stat info {};
    if (!error && ::stat(dataDir.c_str(), &info) != 0) error = std::error_code(errno, std::generic_category());
    if (error) return "cannot create the data directory " + dataDir.string() + ": " + error.message();
    if (!S_ISDIR(info.st_mode)) return "the data directory " + dataDir.string() + " is not a directory";
    if ((info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0)
        return "the data directory " + dataDir.string() + " is open to other users (mode " + octal(info.st_mode) +
               "); it holds password hashes: make it private with chmod 700, or give --data a new directory";
    return Done{};
}

// The database, and any -wal or -shm file a stopped relay left, readable by the owner
// alone whatever the umask; files of earlier versions are tightened. Existing files are
// changed by path: closing a descriptor of a database would drop the POSIX locks that
// another connection of this process holds on it.
StoreResult<Done> preparePrivateFiles(const std::filesystem::path& database) {
    const auto failed = [](const std::string& what, const std::string& path) {
        return what + path + ": " + std::strerror(errno);
    };
    const int created = ::open(database.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created >= 0) {
        const bool tight = ::fchmod(created, 0600) == 0;
        ::close(created);
        if (!tight) return failed("cannot make private ", database.string());
    } else if (errno != EEXIST) {
        return failed("cannot create ", database.string());
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string path = database.string() + suffix;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;
            return failed("cannot read the mode of ", path);
        }
        if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), 0600) != 0) return failed("cannot make private ", path);
    }
    return Done{};
}

}  // namespace

StoreResult<std::unique_ptr<Store>> Store::open(const std::filesystem::path& dataDir) {
    if (auto refused = preparePrivateDirectory(dataDir); !refused) return refused.error();
    const auto path = dataDir / "relay.sqlite3";
    // SQLite gives the -wal and -shm files the mode of the database file.
    if (auto refused = preparePrivateFiles(path); !refused) return refused.error();

    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return "cannot open " + path.string() + ": " + message;
    }
    std::unique_ptr<Store> store(new Store(db));
    sqlite3_busy_timeout(db, 5000);
    for (const char* sql : {"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=NORMAL;", "PRAGMA foreign_keys=ON;",
                            kSchema}) {
        auto done = store->exec(sql);
        if (!done) return "cannot prepare " + path.string() + ": " + done.error();
    }
    return store;
}

Store::~Store() {
    sqlite3_close(db_);
}

std::string Store::lastError() const {
    return sqlite3_errmsg(db_);
}

StoreResult<Done> Store::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : lastError();
        sqlite3_free(message);
        return text;
    }
    return Done{};
}

StoreResult<std::optional<std::string>> Store::studioPasswordHash() {
    Statement query(db_, "SELECT password_hash FROM studio WHERE id = 1");
    const int result = query.step();
    if (result == SQLITE_ROW) return std::optional<std::string>(query.text(0));
    if (result == SQLITE_DONE) return std::optional<std::string>();
    return lastError();
}

StoreResult<Done> Store::setStudioPasswordHash(const std::string& hash) {
    Statement insert(db_, "INSERT INTO studio (id, password_hash) VALUES (1, ?1) "
                          "ON CONFLICT (id) DO UPDATE SET password_hash = excluded.password_hash");
    if (insert.bind(1, hash).step() != SQLITE_DONE) return lastError();
    return Done{};
}

StoreResult<Device> Store::addDevice(const std::string& name, const std::string& keyDigest, std::int64_t nowMs) {
    for (int suffix = 1; suffix < 10000; ++suffix) {
        const std::string candidate = suffix == 1 ? name : name + " (" + std::to_string(suffix) + ")";
        Statement insert(db_, "INSERT OR IGNORE INTO devices (name, key_digest, created_at) VALUES (?1, ?2, ?3)");
        if (insert.bind(1, candidate).bind(2, keyDigest).bind(3, nowMs).step() != SQLITE_DONE) return lastError();
        if (sqlite3_changes(db_) == 1) return Device{sqlite3_last_insert_rowid(db_), candidate, nowMs, std::nullopt};
    }
    return std::string("no free device name");
}

StoreResult<std::optional<Device>> Store::deviceByKeyDigest(const std::string& keyDigest) {
    Statement query(db_, (std::string(kDeviceColumns) + "WHERE key_digest = ?1").c_str());
    const int result = query.bind(1, keyDigest).step();
    if (result == SQLITE_ROW) return std::optional<Device>(readDevice(query));
    if (result == SQLITE_DONE) return std::optional<Device>();
    return lastError();
}

StoreResult<std::optional<Device>> Store::deviceById(std::int64_t id) {
    Statement query(db_, (std::string(kDeviceColumns) + "WHERE id = ?1").c_str());
    const int result = query.bind(1, id).step();
    if (result == SQLITE_ROW) return std::optional<Device>(readDevice(query));
    if (result == SQLITE_DONE) return std::optional<Device>();
    return lastError();
}

StoreResult<std::vector<Device>> Store::devices() {
    Statement query(db_, (std::string(kDeviceColumns) + "ORDER BY id").c_str());
    std::vector<Device> all;
    int result;
    while ((result = query.step()) == SQLITE_ROW) all.push_back(readDevice(query));
    if (result != SQLITE_DONE) return lastError();
    return all;
}

StoreResult<bool> Store::revokeDevice(std::int64_t id, std::int64_t nowMs) {
    Statement update(db_, "UPDATE devices SET revoked_at = COALESCE(revoked_at, ?2) WHERE id = ?1");
    if (update.bind(1, id).bind(2, nowMs).step() != SQLITE_DONE) return lastError();
    return sqlite3_changes(db_) == 1;
}

StoreResult<Done> Store::addLink(const LinkRecord& link) {
    Statement insert(db_, "INSERT INTO links (id, name, password_hash, max_listeners, created_at, device_id) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bind(1, link.id).bind(2, link.name).bind(3, link.passwordHash).bind(4, link.maxListeners);
    if (insert.bind(5, link.createdAtMs).bind(6, link.deviceId).step() != SQLITE_DONE) return lastError();
    return Done{};
}

StoreResult<std::optional<LinkRecord>> Store::link(const std::string& id) {
    Statement query(db_, (std::string(kLinkColumns) + "WHERE id = ?1").c_str());
    const int result = query.bind(1, id).step();
    if (result == SQLITE_ROW) return std::optional<LinkRecord>(readLink(query));
    if (result == SQLITE_DONE) return std::optional<LinkRecord>();
    return lastError();
}

StoreResult<std::vector<LinkRecord>> Store::liveLinks() {
    Statement query(db_, (std::string(kLinkColumns) + "WHERE ended_at IS NULL ORDER BY created_at DESC, rowid DESC")
                             .c_str());
    std::vector<LinkRecord> all;
    int result;
    while ((result = query.step()) == SQLITE_ROW) all.push_back(readLink(query));
    if (result != SQLITE_DONE) return lastError();
    return all;
}

StoreResult<bool> Store::endLink(const std::string& id, std::int64_t nowMs) {
    Statement update(db_, "UPDATE links SET ended_at = ?2 WHERE id = ?1 AND ended_at IS NULL");
    if (update.bind(1, id).bind(2, nowMs).step() != SQLITE_DONE) return lastError();
    return sqlite3_changes(db_) == 1;
}

StoreResult<std::int64_t> Store::dataVersion() {
    Statement query(db_, "PRAGMA data_version");
    if (query.step() != SQLITE_ROW) return lastError();
    return query.integer(0);
}

std::filesystem::path defaultDataDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "quorvel-relay";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local/share/quorvel-relay";
}

}  // namespace quorvel::relay
