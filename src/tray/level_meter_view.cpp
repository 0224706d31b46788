#include "tray/level_meter_view.h"

#include <QPainter>
#include <QPainterPath>

#include "tray/system_colours.h"

namespace quorvel::tray {

namespace {

// The meter's layout has its origin at the bottom left; Qt's is at the top left.
QRectF flipped(const app::Rect& rect, double viewHeight) {
    return {rect.x, viewHeight - rect.y - rect.height, rect.width, rect.height};
}

QColor colourOf(app::LevelMeter::Colour colour, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (colour) {
        case app::LevelMeter::Colour::track: return labelColour(palette, LabelColour::quaternary);
        case app::LevelMeter::Colour::green: return signalColour(SignalColour::green, dark);
        case app::LevelMeter::Colour::yellow: return signalColour(SignalColour::yellow, dark);
        case app::LevelMeter::Colour::red: return signalColour(SignalColour::red, dark);
    }
    return {};
}

QPainterPath roundedBar(const QRectF& rect) {
    QPainterPath path;
    path.addRoundedRect(rect, app::LevelMeter::cornerRadius, app::LevelMeter::cornerRadius);
    return path;
}

}  // namespace

LevelMeterView::LevelMeterView(app::LevelMeter& meter, QWidget* parent) : QWidget(parent), meter_(meter) {
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TransparentForMouseEvents);
    meter_.onRedraw = [this] { update(); };
}

LevelMeterView::~LevelMeterView() {
    meter_.onRedraw = nullptr;
    meter_.setShown(false);
}

QSize LevelMeterView::sizeHint() const {
    return {static_cast<int>(app::LevelMeter::width), static_cast<int>(app::LevelMeter::height)};
}

void LevelMeterView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    meter_.setShown(true);
}

void LevelMeterView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    meter_.setShown(false);
}

void LevelMeterView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double viewHeight = height();
    for (const auto& bar : app::LevelMeter::layout(width(), viewHeight, meter_.dbLeft(), meter_.dbRight())) {
        const QRectF track = flipped(bar.track, viewHeight);
        painter.fillPath(roundedBar(track), colourOf(app::LevelMeter::Colour::track, palette()));
        if (bar.fills.empty()) continue;
        painter.save();
        painter.setClipPath(roundedBar(QRectF(track.x(), track.y(), bar.fillWidth, track.height())));
        for (const auto& fill : bar.fills) painter.fillRect(flipped(fill.rect, viewHeight), colourOf(fill.colour, palette()));
        painter.restore();
    }
}

}  // namespace quorvel::tray
