#include "tray/status_icon.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>

#include "tray/artwork.h"

namespace quorvel::tray {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

}  // namespace

bool StatusIcon::hostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcherService)) return false;
    QDBusInterface watcher(watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService, bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

StatusIcon::StatusIcon(std::function<void()> activated) : hostDrawsMenu_(hostRegistered()) {
    icon_.setToolTip(QString::fromLatin1(name));
    setTint(app::Tint::none);
    connect(&icon_, &QSystemTrayIcon::activated, this, [activated = std::move(activated)](auto reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) activated();
    });
}

void StatusIcon::setTint(app::Tint tint) {
    if (tint_ == tint) return;
    tint_ = tint;
    icon_.setIcon(menuIcon(tint));
}

}  // namespace quorvel::tray
