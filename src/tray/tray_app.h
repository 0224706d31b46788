#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <memory>
#include <thread>

#include "app/adapters/system_app.h"
#include "tray/qt_clipboard.h"
#include "tray/qt_dialogs.h"
#include "tray/status_icon.h"

namespace quorvel::tray {

class MenuWindow;
class StatusMenu;

// The tray application. The icon shows at once (on a StatusNotifierItem host, with
// the menu it exports); what blocks (the configuration with
// the key store, the audio server's probe and devices, the PipeWire registry) is read
// off the GUI thread, and then the application core launches with the status menu.
// On an XEmbed tray the menu pops up at the icon; a StatusNotifierItem host draws a
// plain copy of it and activating the icon opens the panel, which has it in full;
// while the desktop has no system tray the menu lives in that window. GUI thread only.
class TrayApp final : public QObject {
public:
    // How long quitting waits for the sender to close its connection.
    static constexpr Duration closeLimit = std::chrono::seconds(2);

    explicit TrayApp(Executor& mainQueue);
    ~TrayApp() override;

    void start();
    // Shows the status menu: at the cursor on an XEmbed tray, else in the panel.
    void showMenu();
    // The icon was clicked: the menu at the cursor, or the panel opened or closed.
    void activated();
    // Stops the broadcast (the sender closes with 1000), then leaves the event loop.
    void quit();

private:
    void ready(std::unique_ptr<app::SystemApp> system);
    void makeIcon();
    void attachIcon();
    // Into the window while no tray is found, back to the icon once one is.
    void placeMenu();

    Executor& mainQueue_;
    QtDialogs dialogs_;
    QtClipboard clipboard_;
    std::unique_ptr<StatusIcon> icon_;  // made once the kind of tray host is known
    QTimer hostWait_;
    QElapsedTimer hostWaitStarted_;
    QTimer trayWatch_;
    std::thread bootstrap_;
    std::unique_ptr<app::SystemApp> system_;
    std::unique_ptr<StatusMenu> menu_;
    std::unique_ptr<StatusMenu> hostMenu_;  // the copy a StatusNotifierItem host draws
    std::unique_ptr<MenuWindow> window_;
    bool showRequested_ = false;
    bool quitting_ = false;
};

}  // namespace quorvel::tray
