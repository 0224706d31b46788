#include "relay/admin.h"

#include <cmath>
#include <ctime>
#include <sstream>

#include "relay/clock.h"

namespace quorvel::relay::admin {

namespace {

std::int64_t nowMs() {
    return static_cast<std::int64_t>(std::floor(wallClockMs()));
}

std::string isoTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

StoreResult<Done> setStudioPassword(const std::filesystem::path& dataDir, const std::string& password,
                                    secrets::Cost cost) {
    if (password.empty()) return std::string("the studio password must not be empty");
    if (!secrets::initialize()) return std::string("libsodium cannot be initialised");
    auto store = Store::open(dataDir);
    if (!store) return store.error();
    const auto hash = secrets::hashPassword(password, cost);
    if (!hash) return std::string("not enough memory to hash the password");
    return store.value()->setStudioPasswordHash(*hash);
}

StoreResult<std::vector<Device>> listDevices(const std::filesystem::path& dataDir) {
    auto store = Store::open(dataDir);
    if (!store) return store.error();
    return store.value()->devices();
}

StoreResult<bool> revokeDevice(const std::filesystem::path& dataDir, std::int64_t id) {
    auto store = Store::open(dataDir);
    if (!store) return store.error();
    return store.value()->revokeDevice(id, nowMs());
}

std::string formatDevices(const std::vector<Device>& devices) {
    std::ostringstream out;
    out << "ID\tNAME\tCREATED\tREVOKED\n";
    for (const auto& device : devices)
        out << device.id << '\t' << device.name << '\t' << isoTime(device.createdAtMs) << '\t'
            << (device.revokedAtMs ? isoTime(*device.revokedAtMs) : "-") << '\n';
    return out.str();
}

}  // namespace quorvel::relay::admin
