#include "tray/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace quorvel::tray {

void QtClipboard::setText(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

}  // namespace quorvel::tray
