#include "config/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quorvel::paths {

namespace {

std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}

}  // namespace

std::string home() {
    if (auto value = absoluteVariable("HOME"); !value.empty()) return value;
    std::vector<char> buffer(16 * 1024);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return result->pw_dir;
    return "/";
}

std::string configHome() {
    if (auto value = absoluteVariable("XDG_CONFIG_HOME"); !value.empty()) return value;
    return home() + "/.config";
}

std::string dataHome() {
    if (auto value = absoluteVariable("XDG_DATA_HOME"); !value.empty()) return value;
    return home() + "/.local/share";
}

std::string configFile() { return home() + "/Library/Application Support/Quorvel/config.json"; }

std::string preferencesFile() { return configHome() + "/Quorvel/preferences.json"; }

std::string keyFile() { return dataHome() + "/Quorvel/device-key"; }

}  // namespace quorvel::paths
