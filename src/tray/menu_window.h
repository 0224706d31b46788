#pragma once

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

namespace quorvel::tray {

class StatusMenu;

// The panel: the status menu in full, title and meter rows included, in a small
// normal window of its own (never a popup: a Wayland compositor places only popups
// of a window it knows). It is what activating the icon shows where the tray host
// draws the menu itself, and where the menu lives while the desktop has no system
// tray (GNOME without an AppIndicator extension, say), with a line saying so.
class MenuWindow final : public QWidget {
public:
    static constexpr const char* noTrayText = "No system tray was found, so the menu is in this window.";
    enum class Kind { panel, noTray };

    explicit MenuWindow(StatusMenu& menu);
    ~MenuWindow() override;

    // Takes the menu in and shows the window, in front and with the keyboard.
    void embed(Kind kind = Kind::panel);
    // Gives the menu back (to be popped at the icon) and hides the window.
    void release();
    bool holdsMenu() const { return holds_; }
    Kind kind() const { return kind_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    StatusMenu& menu_;
    QVBoxLayout layout_;
    QLabel line_;
    bool holds_ = false;
    Kind kind_ = Kind::panel;
};

}  // namespace quorvel::tray
