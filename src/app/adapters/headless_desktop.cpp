#include "app/adapters/headless_desktop.h"

#include <unistd.h>

#include <ostream>

#include "app/adapters/machine_info.h"
#include "config/files.h"

namespace quorvel::app {

namespace {

// A few assignments; anything larger is not a machine-info file.
constexpr std::size_t kMaxMachineInfoBytes = 64 * 1024;

}  // namespace

int HeadlessDialogs::run(const Alert& alert) {
    out_ << alert.message << '\n';
    if (!alert.informative.empty()) out_ << alert.informative << '\n';
    return 0;
}

int HeadlessDialogs::run(PairingDialog&) {
    return -1;
}

int HeadlessDialogs::run(SetupDialog&) {
    return -1;
}

// The password is not printed: this output may well end up in a log.
void HeadlessDialogs::run(const LinkCreatedDialog& dialog) {
    out_ << dialog.alert.message << '\n' << dialog.link << '\n';
}

std::optional<std::string> SystemHost::computerName() {
    if (const auto machineInfo = files::readSmallFile(machineInfoFile_, kMaxMachineInfoBytes))
        if (auto pretty = prettyHostName(*machineInfo)) return pretty;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

}  // namespace quorvel::app
