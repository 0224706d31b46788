#pragma once

#include <QMenu>
#include <QSystemTrayIcon>

#include <functional>
#include <optional>

#include "app/menu_model.h"

namespace quorvel::tray {

// The tray icon in the colour of the model's tint. An XEmbed tray host only tells of
// clicks: `activated` then pops our own menu at the icon. A StatusNotifierItem host
// (GNOME with AppIndicator, KDE, waybar; on Wayland and X11) draws the menu we export
// and sends Activate, which `activated` answers with the panel.
class StatusIcon final : public QObject {
public:
    static constexpr const char* name = "Velmora Remote Studio";  // tooltip and accessible name

    explicit StatusIcon(std::function<void()> activated);
    void setTint(app::Tint tint);
    void show() { icon_.show(); }
    void hide() { icon_.hide(); }

    // Decided as Qt decides it, once, as the icon is made: a StatusNotifierItem host
    // is there when its watcher is on the session bus with a host registered.
    bool hostDrawsMenu() const { return hostDrawsMenu_; }
    static bool hostRegistered();
    // The menu a StatusNotifierItem host draws; it is exported over DBusMenu.
    void exportMenu(QMenu& menu) { icon_.setContextMenu(&menu); }

private:
    bool hostDrawsMenu_;
    QSystemTrayIcon icon_;
    std::optional<app::Tint> tint_;
};

}  // namespace quorvel::tray
