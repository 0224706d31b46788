#include "tray/status_icon.h"

#include "tray/artwork.h"

namespace quorvel::tray {

StatusIcon::StatusIcon(std::function<void()> activated) {
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
