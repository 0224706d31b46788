#include "tray/menu_window.h"

#include <QKeyEvent>
#include <QTimer>

#include "tray/bring_to_front.h"
#include "tray/status_icon.h"
#include "tray/status_menu.h"

namespace quorvel::tray {

MenuWindow::MenuWindow(StatusMenu& menu) : menu_(menu), layout_(this), line_(QString::fromUtf8(noTrayText)) {
    setWindowTitle(QString::fromLatin1(StatusIcon::name));
    setAccessibleName(QString::fromLatin1(StatusIcon::name));
    line_.setWordWrap(true);
    layout_.addWidget(&line_);
    // Sized to its content, and fixed: a tiling compositor floats such a window
    // instead of stretching it over the screen.
    layout_.setSizeConstraint(QLayout::SetFixedSize);
    menu_.menu().installEventFilter(this);
    // A menu hides itself after each choice; in here it stays.
    connect(&menu_.menu(), &QMenu::aboutToHide, this, [this] {
        QTimer::singleShot(0, this, [this] {
            if (holds_ && isVisible()) menu_.menu().show();
        });
    });
}

MenuWindow::~MenuWindow() {
    menu_.menu().removeEventFilter(this);
    release();
}

void MenuWindow::embed(Kind kind) {
    QMenu& menu = menu_.menu();
    kind_ = kind;
    line_.setVisible(kind == Kind::noTray);
    if (!holds_) {
        menu.hide();
        menu.setParent(this, Qt::Widget);
        layout_.addWidget(&menu);
        holds_ = true;
    }
    menu.show();
    show();
    bringToFront(*this);
    menu.setFocus(Qt::ActiveWindowFocusReason);
}

void MenuWindow::release() {
    if (!holds_) return;
    holds_ = false;
    QMenu& menu = menu_.menu();
    layout_.removeWidget(&menu);
    menu.hide();
    menu.setParent(nullptr, Qt::Popup);
    hide();
}

// The window shows the menu as opening it would.
void MenuWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (holds_) menu_.opening();
}

// Closed from its title bar, the panel gives the menu back like Escape does.
void MenuWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (kind_ == Kind::panel) release();
}

// Escape closes the panel; without a tray the window is all there is, so it stays.
bool MenuWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &menu_.menu() || event->type() != QEvent::KeyPress || !holds_ || kind_ != Kind::panel)
        return false;
    if (static_cast<QKeyEvent*>(event)->key() != Qt::Key_Escape) return false;
    release();
    return true;
}

}  // namespace quorvel::tray
