#include "tray/menu_window.h"

#include <QTimer>

#include "tray/status_icon.h"
#include "tray/status_menu.h"

namespace quorvel::tray {

MenuWindow::MenuWindow(StatusMenu& menu) : menu_(menu), layout_(this), line_(QString::fromUtf8(noTrayText)) {
    setWindowTitle(QString::fromLatin1(StatusIcon::name));
    setAccessibleName(QString::fromLatin1(StatusIcon::name));
    line_.setWordWrap(true);
    layout_.addWidget(&line_);
    layout_.setSizeConstraint(QLayout::SetFixedSize);
    // A menu hides itself after each choice; in here it stays.
    connect(&menu_.menu(), &QMenu::aboutToHide, this, [this] {
        QTimer::singleShot(0, this, [this] {
            if (holds_ && isVisible()) menu_.menu().show();
        });
    });
}

MenuWindow::~MenuWindow() {
    release();
}

void MenuWindow::embed() {
    QMenu& menu = menu_.menu();
    if (!holds_) {
        menu.hide();
        menu.setParent(this, Qt::Widget);
        layout_.addWidget(&menu);
        holds_ = true;
    }
    menu.show();
    show();
    raise();
    activateWindow();
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

}  // namespace quorvel::tray
