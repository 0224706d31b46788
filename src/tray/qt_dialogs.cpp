#include "tray/qt_dialogs.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <initializer_list>

#include "tray/alert_dialog.h"
#include "tray/system_colours.h"

namespace quorvel::tray {

namespace {

// Widths of the accessories, in points.
constexpr int pairingWidth = 260;
constexpr int setupWidth = 320;
constexpr int linkWidth = 380;

QLineEdit* lineEdit(const app::TextField& field) {
    auto* edit = new QLineEdit(QString::fromStdString(field.text));
    edit->setPlaceholderText(QString::fromStdString(field.placeholder));
    if (field.secure) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QLineEdit* readOnlyField(const std::string& text) {
    auto* edit = new QLineEdit(QString::fromStdString(text));
    edit->setReadOnly(true);
    edit->setCursorPosition(0);
    return edit;
}

// The caption above a field: small, in the secondary label colour.
QLabel* caption(const std::string& text) {
    auto* label = new QLabel(QString::fromStdString(text));
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 11 / 13);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, labelColour(palette, LabelColour::secondary));
    label->setPalette(palette);
    return label;
}

// The controls of an alert, one below the other at the accessory's width: close
// together within a group (a caption and its field), apart between groups.
QWidget* accessory(int width, std::initializer_list<std::initializer_list<QWidget*>> groups) {
    auto* container = new QWidget;
    container->setFixedWidth(width);
    auto* layout = new QVBoxLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (const auto& group : groups) {
        if (layout->count() > 0) layout->addSpacing(6);
        for (QWidget* control : group) layout->addWidget(control);
    }
    return container;
}

std::string text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

}  // namespace

int QtDialogs::run(const app::Alert& alert) {
    AlertDialog dialog(alert);
    return dialog.run();
}

int QtDialogs::run(app::PairingDialog& pairing) {
    AlertDialog dialog(pairing.alert);
    QLineEdit* password = lineEdit(pairing.password);
    dialog.setAccessory(accessory(pairingWidth, {{password}}));
    const int ended = dialog.run(password);
    pairing.password.text = text(password);
    return ended;
}

int QtDialogs::run(app::SetupDialog& setup) {
    AlertDialog dialog(setup.alert);
    QLineEdit* name = lineEdit(setup.name);
    QLineEdit* password = lineEdit(setup.password);
    auto* listeners = new QComboBox;
    for (const auto& choice : setup.listenerChoices)
        listeners->addItem(QString::fromStdString(choice.title), QVariant::fromValue<qlonglong>(choice.value));
    listeners->setCurrentIndex(setup.selectedChoice ? static_cast<int>(*setup.selectedChoice) : -1);
    dialog.setAccessory(accessory(setupWidth, {{caption(setup.nameLabel), name},
                                               {caption(setup.passwordLabel), password},
                                               {caption(setup.listenersLabel), listeners}}));

    const int ended = dialog.run(setup.focus == app::SetupDialog::Focus::name ? name : password);
    setup.name.text = text(name);
    setup.password.text = text(password);
    setup.selectedChoice.reset();
    if (listeners->currentIndex() >= 0) setup.selectedChoice = static_cast<std::size_t>(listeners->currentIndex());
    return ended;
}

void QtDialogs::run(const app::LinkCreatedDialog& created) {
    AlertDialog dialog(created.alert);
    QLineEdit* link = readOnlyField(created.link);
    dialog.setAccessory(accessory(linkWidth, {{link, readOnlyField(created.password)}}));
    dialog.keepOpen(0, created.copyLink);
    dialog.keepOpen(1, created.copyPassword);
    dialog.setDefaultButton(created.alert.buttons.size() - 1);
    dialog.run(link);
}

}  // namespace quorvel::tray
