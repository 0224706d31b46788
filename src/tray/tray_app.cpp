#include "tray/tray_app.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>

#include "tray/menu_window.h"
#include "tray/status_menu.h"

namespace quorvel::tray {

namespace {

constexpr std::chrono::milliseconds trayWatchInterval{1000};
constexpr std::chrono::milliseconds hostPollInterval{250};
constexpr std::chrono::seconds hostGrace{10};

}  // namespace

TrayApp::TrayApp(Executor& mainQueue) : mainQueue_(mainQueue) {
    trayWatch_.setInterval(trayWatchInterval);
    hostWait_.setInterval(hostPollInterval);
    connect(&hostWait_, &QTimer::timeout, this, [this] {
        if (StatusIcon::hostRegistered() || hostWaitStarted_.hasExpired(hostGrace.count() * 1000)) makeIcon();
    });
    connect(&trayWatch_, &QTimer::timeout, this, &TrayApp::placeMenu);
    // A session manager may end the loop itself: the broadcast still stops.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
        if (!quitting_ && system_) system_->app().applicationWillTerminate();
        quitting_ = true;
    });
}

TrayApp::~TrayApp() {
    if (bootstrap_.joinable()) bootstrap_.join();
}

void TrayApp::start() {
    // On Wayland only a StatusNotifierItem host can show the icon, and at log-in the
    // tray may start before the panel that is that host: it is given a while to come,
    // since the kind of icon, once made, stays.
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    if (wayland && !StatusIcon::hostRegistered()) {
        hostWaitStarted_.start();
        hostWait_.start();
    } else {
        makeIcon();
    }
    bootstrap_ = std::thread([this] {
        setCurrentThreadName("quorvel.launch");
        auto system = std::make_shared<std::unique_ptr<app::SystemApp>>(std::make_unique<app::SystemApp>(mainQueue_));
        mainQueue_.post([this, system] { ready(std::move(*system)); });
    });
}

// The launch order of the application, but for the icon, which is made apart (makeIcon).
void TrayApp::ready(std::unique_ptr<app::SystemApp> system) {
    bootstrap_.join();
    if (quitting_) return;
    system_ = std::move(system);
    app::AppDelegate& app = system_->createDelegate({dialogs_, clipboard_});
    menu_ = std::make_unique<StatusMenu>(app, mainQueue_, [this] { quit(); });
    window_ = std::make_unique<MenuWindow>(*menu_);
    menu_->onOpening = [this] { system_->capture().refresh(); };
    system_->capture().onChanged = [this] {
        menu_->sourcesChanged();
        if (hostMenu_) hostMenu_->sourcesChanged();
    };
    app.onMenuChanged = [this](const app::MenuModel& model) {
        menu_->render(model);
        if (hostMenu_) hostMenu_->render(model);
        if (icon_) icon_->setTint(model.tint);
    };
    app.applicationDidFinishLaunching();
    if (icon_) attachIcon();
}

void TrayApp::makeIcon() {
    hostWait_.stop();
    if (icon_ || quitting_) return;
    icon_ = std::make_unique<StatusIcon>([this] { activated(); });
    // A StatusNotifierItem host reads the item's menu once, as the item appears: there
    // the icon waits for the menu it exports.
    if (!icon_->hostDrawsMenu()) icon_->show();
    if (system_) attachIcon();
}

// The icon and the launched application meet, whichever came first.
void TrayApp::attachIcon() {
    app::AppDelegate& app = system_->app();
    if (icon_->hostDrawsMenu()) {
        hostMenu_ = std::make_unique<StatusMenu>(app, mainQueue_, [this] { quit(); }, StatusMenu::Style::hostDrawn);
        hostMenu_->onOpening = menu_->onOpening;
        hostMenu_->onShowPanel = [this] { showMenu(); };
        hostMenu_->render(app.menu());
        icon_->exportMenu(hostMenu_->menu());
        icon_->show();
    }
    icon_->setTint(app.menu().tint);
    placeMenu();
    trayWatch_.start();
    if (showRequested_) showMenu();
}

void TrayApp::placeMenu() {
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    const bool noTrayWindow = window_->holdsMenu() && window_->kind() == MenuWindow::Kind::noTray;
    if (tray && noTrayWindow) window_->release();
    if (!tray && !noTrayWindow) window_->embed(MenuWindow::Kind::noTray);
}

void TrayApp::showMenu() {
    if (!menu_ || !icon_) {
        showRequested_ = true;
        return;
    }
    if (window_->holdsMenu()) window_->embed(window_->kind());
    else if (hostMenu_) window_->embed();
    else menu_->menu().popup(QCursor::pos());
}

// A second activation closes the panel that the first opened.
void TrayApp::activated() {
    if (hostMenu_ && window_->holdsMenu() && window_->kind() == MenuWindow::Kind::panel) window_->release();
    else showMenu();
}

void TrayApp::quit() {
    if (quitting_) return;
    quitting_ = true;
    trayWatch_.stop();
    hostWait_.stop();
    if (icon_) icon_->hide();
    if (!system_) return QCoreApplication::quit();
    window_->release();
    menu_->menu().hide();
    if (hostMenu_) hostMenu_->menu().hide();
    system_->app().onMenuChanged = nullptr;
    system_->app().applicationWillTerminate();
    system_->whenSendersClosed(closeLimit, [] { QCoreApplication::quit(); });
}

}  // namespace quorvel::tray
