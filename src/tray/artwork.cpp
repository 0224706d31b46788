#include "tray/artwork.h"

#include <QFile>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <map>
#include <memory>

#include "tray/system_colours.h"

// The resources live in a static library: nothing would pull them into a program
// unless referenced.
static void loadResources() {
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)loaded;
}

namespace quorvel::tray {

namespace {

QString resourcePath(std::string_view name) {
    return QStringLiteral(":/quorvel/") + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())) +
           QStringLiteral(".svg");
}

// Renders an SVG at whatever size and pixel ratio is asked for, and colours its
// opaque pixels when given a colour (source-atop: transparent cut-outs stay so).
class TintedSvgEngine final : public QIconEngine {
public:
    TintedSvgEngine(const QString& path, QColor colour)
        : renderer_(std::make_shared<QSvgRenderer>(path)), colour_(colour) {}

    QIconEngine* clone() const override { return new TintedSvgEngine(*this); }
    QString key() const override { return QStringLiteral("quorvel-tinted-svg"); }
    bool isNull() override { return !renderer_->isValid(); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QImage image = render(rect.size() * scale);
        image.setDevicePixelRatio(scale);
        painter->drawImage(rect, image);
    }

    // QIcon asks for device pixels and sets the pixel ratio itself.
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return QPixmap::fromImage(render(size));
    }

private:
    QImage render(const QSize& size) const {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        QSizeF fitted = renderer_->defaultSize();
        fitted.scale(size, Qt::KeepAspectRatio);
        renderer_->render(&painter, QRectF(QPointF((size.width() - fitted.width()) / 2,
                                                   (size.height() - fitted.height()) / 2),
                                           fitted));
        if (colour_.isValid()) {
            painter.setCompositionMode(QPainter::CompositionMode_SourceAtop);
            painter.fillRect(image.rect(), colour_);
        }
        return image;
    }

    std::shared_ptr<QSvgRenderer> renderer_;  // shared by clones; used on the GUI thread only
    QColor colour_;
};

QIcon svgIcon(std::string_view name, QColor tint = {}) {
    loadResources();
    const QString path = resourcePath(name);
    if (!QFile::exists(path)) return {};
    return QIcon(new TintedSvgEngine(path, tint));
}

QColor tintColour(app::Tint tint) {
    switch (tint) {
        case app::Tint::none: return {};
        case app::Tint::orange: return signalColour(SignalColour::orange, false);
        case app::Tint::green: return signalColour(SignalColour::green, false);
    }
    return {};
}

}  // namespace

QIcon namedImage(std::string_view name) {
    return svgIcon(name);
}

QIcon menuIcon(app::Tint tint) {
    static std::map<app::Tint, QIcon> made;
    auto it = made.find(tint);
    if (it == made.end()) it = made.emplace(tint, svgIcon("MenuIcon", tintColour(tint))).first;
    return it->second;
}

QIcon applicationIcon() {
    return svgIcon("quorvel");
}

}  // namespace quorvel::tray
