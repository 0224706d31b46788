#pragma once

// What the tray's widget tests share: the delegate on doubles, rendered by a StatusMenu.

#include <QMenu>

#include "app/app_doubles.h"
#include "qt_test_application.h"
#include "tray/status_menu.h"

namespace quorvel::tray::test {

// The delegate on doubles with its menu rendered; quitting is counted. Paired: the
// configuration holds a device key and link "a" is the saved selection (then
// harness.launchPairedWithLink() lists links "a" and "b").
struct RenderedApp {
    explicit RenderedApp(bool paired = true) {
        if (paired) {
            harness.config.stored.senderKey = "device-key";
            harness.config.stored.deviceName = "Studio A";
            harness.preferences.values["session"] = "a";
        }
        harness.create();
        menu = std::make_unique<StatusMenu>(*harness.delegate, harness.queue, [this] { ++quits; });
        harness.delegate->onMenuChanged = [this](const app::MenuModel& model) { menu->render(model); };
    }
    ~RenderedApp() {
        harness.delegate->onMenuChanged = nullptr;
        menu.reset();
    }

    app::test::AppHarness harness;
    std::unique_ptr<StatusMenu> menu;
    int quits = 0;
};

}  // namespace quorvel::tray::test
