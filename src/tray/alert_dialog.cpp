#include "tray/alert_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "tray/artwork.h"
#include "tray/bring_to_front.h"

namespace quorvel::tray {

namespace {

// Narrower, and a short alert's wrapped lines would be only a few words long.
constexpr int minimumTextWidth = 260;

// Texts are shown as typed: a link name is never taken for markup.
QLabel* plainLabel(const std::string& text) {
    auto* label = new QLabel(QString::fromStdString(text));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setMinimumWidth(minimumTextWidth);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

AlertDialog::AlertDialog(const app::Alert& alert) {
    setWindowModality(Qt::ApplicationModal);
    setWindowIcon(applicationIcon());

    auto* icon = new QLabel;
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this) * 3 / 2;
    icon->setPixmap(applicationIcon().pixmap(QSize(iconSize, iconSize), devicePixelRatioF()));
    icon->setAlignment(Qt::AlignTop);

    texts_ = new QVBoxLayout;
    QLabel* message = plainLabel(alert.message);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    texts_->addWidget(message);
    if (!alert.informative.empty()) texts_->addWidget(plainLabel(alert.informative));

    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts_, 1);

    buttonRow_ = new QHBoxLayout;
    buttonRow_->addStretch(1);
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        auto* button = new QPushButton(QString::fromStdString(alert.buttons[i]));
        // Return goes to the default button only, not to whichever has the focus.
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, i] {
            ended_ = static_cast<int>(i);
            accept();
        });
        buttons_.push_back(button);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addLayout(top);
    layout->addLayout(buttonRow_);
    setDefaultButton(0);
}

void AlertDialog::setAccessory(QWidget* accessory) {
    texts_->addSpacing(4);
    texts_->addWidget(accessory);
}

void AlertDialog::setDefaultButton(std::size_t index) {
    if (index >= buttons_.size()) return;
    defaultButton_ = index;
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        buttons_[i]->setDefault(i == index);
        buttonRow_->removeWidget(buttons_[i]);
    }
    for (std::size_t i = 0; i < buttons_.size(); ++i)
        if (i != index) buttonRow_->addWidget(buttons_[i]);
    buttonRow_->addWidget(buttons_[index]);
}

void AlertDialog::keepOpen(std::size_t index, std::function<void()> action) {
    if (index >= buttons_.size()) return;
    disconnect(buttons_[index], &QPushButton::clicked, this, nullptr);
    connect(buttons_[index], &QPushButton::clicked, this, [action = std::move(action)] {
        if (action) action();
    });
}

int AlertDialog::run(QWidget* focus) {
    focus_ = focus;
    if (!focus_ && defaultButton_ < buttons_.size()) focus_ = buttons_[defaultButton_];
    ended_ = -1;
    exec();
    return ended_;
}

// A tray application is not the active one when its dialog appears: without this the
// dialog may open behind other windows and without keyboard focus.
void AlertDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    bringToFront(*this);
    if (focus_) focus_->setFocus(Qt::ActiveWindowFocusReason);
}

}  // namespace quorvel::tray
