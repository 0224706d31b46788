#include "tray/tray_main.h"

#include <QApplication>

#include <cstdlib>
#include <iostream>

#include "runtime/stop_signals.h"
#include "tray/artwork.h"
#include "tray/qt_executor.h"
#include "tray/single_instance.h"
#include "tray/tray_app.h"

namespace quorvel::tray {

namespace {

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int runTray(int argc, char** argv) {
    if (!haveDisplay()) {
        std::cerr << "quorvel: no desktop session to show the tray in (DISPLAY is not set).\n"
                     "The subcommands run without one: see quorvel --help.\n";
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quorvel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvel"));
    QApplication::setDesktopFileName(QStringLiteral("quorvel"));
    QApplication::setWindowIcon(applicationIcon());
    // Closing a dialog or the menu's window never ends the application.
    QApplication::setQuitOnLastWindowClosed(false);

    QtExecutor mainQueue;
    std::unique_ptr<TrayApp> tray;
    SingleInstance instance([&tray](const QString& activationToken) {
        // Lets the compositor give the panel the keyboard on behalf of the launcher.
        if (!activationToken.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", activationToken.toLatin1());
        if (tray) tray->showMenu();
    });
    const SingleInstance::Outcome claimed = instance.claim();
    if (!claimed.problem.empty()) std::cerr << claimed.problem << '\n';
    if (claimed.claim == SingleInstance::Claim::askedRunning) return claimed.problem.empty() ? 0 : 1;

    tray = std::make_unique<TrayApp>(mainQueue);
    auto stopSignals = std::make_unique<StopSignals>(mainQueue, [&tray] { tray->quit(); });
    tray->start();
    const int status = QApplication::exec();
    stopSignals.reset();
    tray.reset();
    return status;
}

}  // namespace quorvel::tray
