// How long the GUI thread takes to open the status menu and its source submenu, with
// the real ports (the key store, the audio server, the relay's REST calls): what runs
// between a click and the menu on screen. Offscreen; needs no tray host.
//
//   QT_QPA_PLATFORM=offscreen tray_menu_bench [opens]     (default 200)
#include <QApplication>
#include <QMenu>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/adapters/system_app.h"
#include "tray/qt_clipboard.h"
#include "tray/qt_dialogs.h"
#include "tray/qt_executor.h"
#include "tray/status_menu.h"

int main(int argc, char** argv) {
    const int opens = argc > 1 ? std::atoi(argv[1]) : 200;
    QApplication application(argc, argv);
    quorvel::tray::QtExecutor mainQueue;
    quorvel::tray::QtDialogs dialogs;
    quorvel::tray::QtClipboard clipboard;
    quorvel::app::SystemApp system(mainQueue);
    auto& app = system.createDelegate({dialogs, clipboard});
    quorvel::tray::StatusMenu menu(app, mainQueue, [] {});
    app.onMenuChanged = [&](const quorvel::app::MenuModel& model) { menu.render(model); };
    app.applicationDidFinishLaunching();
    QMenu* sources = nullptr;
    for (QAction* action : menu.menu().actions())
        if (action->menu() && action->text() == QStringLiteral("Input Source")) sources = action->menu();

    std::vector<double> ms;
    for (int i = 0; i < opens; ++i) {
        const auto start = std::chrono::steady_clock::now();
        menu.menu().popup(QPoint(100, 100));
        Q_EMIT sources->aboutToShow();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        menu.menu().hide();
        QCoreApplication::processEvents();  // the answers of the refreshes it asked for
    }
    std::sort(ms.begin(), ms.end());
    std::printf("status menu and source submenu opened %d times on the GUI thread: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                opens, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
    app.onMenuChanged = nullptr;
    return 0;
}
