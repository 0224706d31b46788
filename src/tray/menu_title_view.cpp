#include "tray/menu_title_view.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPainter>

#include "tray/artwork.h"
#include "tray/system_colours.h"

namespace quorvel::tray {

namespace {

// The layout has its origin at the bottom left; Qt's is at the top left.
QRect flipped(const app::Rect& rect, double viewHeight) {
    return QRectF(rect.x, viewHeight - rect.y - rect.height, rect.width, rect.height).toRect();
}

QFont fontOf(app::MenuTitle::Font font) {
    switch (font) {
        case app::MenuTitle::Font::menu: return QApplication::font("QMenu");
        case app::MenuTitle::Font::semiboldControl: {
            QFont result = QApplication::font("QPushButton");
            result.setWeight(QFont::DemiBold);
            return result;
        }
    }
    return {};
}

}  // namespace

MenuTitleView::MenuTitleView(QWidget* parent) : QWidget(parent), label_(new QLabel(this)) {
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const auto layout = app::MenuTitle::layout(app::MenuTitle::width, app::MenuTitle::height);
    label_->setGeometry(flipped(layout.label, app::MenuTitle::height));
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label_->setWordWrap(false);  // a longer text is clipped at the label's edge
    restyle();
}

QSize MenuTitleView::sizeHint() const {
    return {static_cast<int>(app::MenuTitle::width), static_cast<int>(app::MenuTitle::height)};
}

void MenuTitleView::set(const app::MenuTitle& title) {
    if (title == title_) return;
    title_ = title;
    restyle();
}

// Everything that depends on the palette: the logo and the label's colour.
void MenuTitleView::restyle() {
    const bool dark = isDark(palette());
    if (logo_.isNull() || dark != darkLogo_) logo_ = namedImage(app::MenuTitle::logoName(dark));
    darkLogo_ = dark;
    label_->setText(QString::fromStdString(title_.text()));
    label_->setFont(fontOf(title_.font()));
    QPalette labelPalette = palette();
    switch (title_.colour()) {
        case app::MenuTitle::Colour::standard: break;
        case app::MenuTitle::Colour::red:
            labelPalette.setColor(QPalette::WindowText, signalColour(SignalColour::red, darkLogo_));
            break;
        case app::MenuTitle::Colour::tertiaryLabel:
            labelPalette.setColor(QPalette::WindowText, labelColour(palette(), LabelColour::tertiary));
            break;
    }
    label_->setPalette(labelPalette);
    update();
}

void MenuTitleView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    switch (event->type()) {
        case QEvent::PaletteChange:
        case QEvent::StyleChange:
        case QEvent::ThemeChange:
            restyle();
            break;
        default:
            break;
    }
}

void MenuTitleView::paintEvent(QPaintEvent*) {
    if (logo_.isNull()) return;
    QPainter painter(this);
    const auto layout = app::MenuTitle::layout(width(), height());
    logo_.paint(&painter, flipped(layout.logo, height()), Qt::AlignLeft | Qt::AlignVCenter);
}

}  // namespace quorvel::tray
