#pragma once

#include <QSystemTrayIcon>

#include <functional>
#include <optional>

#include "app/menu_model.h"

namespace quorvel::tray {

// The tray icon in the colour of the model's tint. A left or context click calls
// `activated`, which pops our own menu: hosts that draw exported menus themselves
// would show the custom views as blank rows.
class StatusIcon final : public QObject {
public:
    static constexpr const char* name = "Velmora Remote Studio";  // tooltip and accessible name

    explicit StatusIcon(std::function<void()> activated);
    void setTint(app::Tint tint);
    void show() { icon_.show(); }
    void hide() { icon_.hide(); }

private:
    QSystemTrayIcon icon_;
    std::optional<app::Tint> tint_;
};

}  // namespace quorvel::tray
