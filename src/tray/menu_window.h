#pragma once

#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

namespace quorvel::tray {

class StatusMenu;

// Where the status menu lives while the desktop has no system tray (GNOME without an
// AppIndicator extension, say): a small window of its own, with a line saying so.
class MenuWindow final : public QWidget {
public:
    static constexpr const char* noTrayText = "No system tray was found, so the menu is in this window.";

    explicit MenuWindow(StatusMenu& menu);
    ~MenuWindow() override;

    // Takes the menu in and shows the window, in front.
    void embed();
    // Gives the menu back to the tray icon and hides the window.
    void release();
    bool holdsMenu() const { return holds_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    StatusMenu& menu_;
    QVBoxLayout layout_;
    QLabel line_;
    bool holds_ = false;
};

}  // namespace quorvel::tray
