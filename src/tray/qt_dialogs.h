#pragma once

#include "app/desktop_ports.h"

namespace quorvel::tray {

// The application's dialogs as modal Qt dialogs. Each runs a nested event loop, so
// the main queue's tasks and timers go on meanwhile; none of them refers to the menu.
class QtDialogs final : public app::DialogsPort {
public:
    int run(const app::Alert& alert) override;
    // The password field is masked; what was typed is written back.
    int run(app::PairingDialog& dialog) override;
    // Name, client password and listener limit; what was typed and chosen is written
    // back, so that a repeated dialog shows it again with the focus where it asks.
    int run(app::SetupDialog& dialog) override;
    // Two read-only fields; the copy buttons copy without closing, Return means "Done".
    void run(const app::LinkCreatedDialog& dialog) override;
};

}  // namespace quorvel::tray
