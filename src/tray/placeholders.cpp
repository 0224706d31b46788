#include "tray/placeholders.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

namespace quorvel::tray {

QIcon menuIcon(app::Tint tint) {
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = tint == app::Tint::green ? QColor(52, 199, 89)
                          : tint == app::Tint::orange ? QColor(255, 149, 0)
                                                      : QColor(200, 200, 200);
    painter.setBrush(colour);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QRectF(5, 5, 12, 12));
    return QIcon(pixmap);
}

MenuTitleView::MenuTitleView(QWidget* parent) : QWidget(parent), label_(new QLabel(this)) {
    setFixedSize(static_cast<int>(app::MenuTitle::width), static_cast<int>(app::MenuTitle::height));
    auto* logo = new QLabel(QStringLiteral("Velmora"), this);
    logo->setGeometry(14, 6, 119, 24);
    label_->setGeometry(145, 9, 101, 17);
}

void MenuTitleView::set(const app::MenuTitle& title) {
    label_->setText(QString::fromStdString(title.text()));
}

LevelMeterView::LevelMeterView(app::LevelMeter& meter, QWidget* parent) : QWidget(parent), meter_(meter) {
    setFixedSize(static_cast<int>(app::LevelMeter::width), static_cast<int>(app::LevelMeter::height));
    meter_.onRedraw = [this] { update(); };
}

LevelMeterView::~LevelMeterView() {
    meter_.onRedraw = nullptr;
    meter_.setShown(false);
}

void LevelMeterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (const auto& bar : app::LevelMeter::layout(width(), height(), meter_.dbLeft(), meter_.dbRight())) {
        const double top = height() - bar.track.y - bar.track.height;
        painter.fillRect(QRectF(bar.track.x, top, bar.track.width, bar.track.height), QColor(128, 128, 128, 60));
        for (const auto& fill : bar.fills)
            painter.fillRect(QRectF(fill.rect.x, top, fill.rect.width, fill.rect.height),
                             fill.colour == app::LevelMeter::Colour::red      ? Qt::red
                             : fill.colour == app::LevelMeter::Colour::yellow ? Qt::yellow
                                                                              : Qt::green);
    }
}

void LevelMeterView::showEvent(QShowEvent*) {
    meter_.setShown(true);
}

void LevelMeterView::hideEvent(QHideEvent*) {
    meter_.setShown(false);
}

int QtDialogs::run(const app::Alert& alert) {
    QMessageBox box;
    box.setText(QString::fromStdString(alert.message));
    box.setInformativeText(QString::fromStdString(alert.informative));
    std::vector<QPushButton*> buttons;
    for (const auto& title : alert.buttons) buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::ActionRole));
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == static_cast<QAbstractButton*>(buttons[i])) return static_cast<int>(i);
    return -1;
}

int QtDialogs::run(app::PairingDialog& dialog) {
    bool ok = false;
    const QString text = QInputDialog::getText(nullptr, QString::fromStdString(dialog.alert.message),
                                               QString::fromStdString(dialog.alert.informative), QLineEdit::Password,
                                               {}, &ok);
    dialog.password.text = text.toStdString();
    return ok ? 0 : 1;
}

int QtDialogs::run(app::SetupDialog&) {
    return -1;
}

void QtDialogs::run(const app::LinkCreatedDialog& dialog) {
    run(dialog.alert);
}

void QtClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

}  // namespace quorvel::tray
