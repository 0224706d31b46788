#include "app/adapters/headless_desktop.h"

#include <unistd.h>

#include <ostream>

namespace quorvel::app {

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
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

}  // namespace quorvel::app
