#include <gtest/gtest.h>

#include <QImage>

#include "tray/artwork.h"
#include "tray/qt_test_application.h"
#include "tray/system_colours.h"

namespace quorvel::tray {
namespace {

// The badge of the status icon at 24 x 24: body from 1 to 23, the middle bar cut
// out of it from 11 to 13 (x) and 4.5 to 19.5 (y).
TEST(ArtworkTest, TintColoursTheBadgeAndKeepsItsBarsAtAnyScale) {
    for (qreal scale : {1.0, 2.0}) {
        const QImage plain = menuIcon(app::Tint::none).pixmap(QSize(24, 24), scale).toImage();
        const QImage orange = menuIcon(app::Tint::orange).pixmap(QSize(24, 24), scale).toImage();
        ASSERT_EQ(orange.size(), QSize(24, 24) * scale);
        const auto at = [scale](const QImage& image, double x, double y) {
            return image.pixelColor(static_cast<int>(x * scale), static_cast<int>(y * scale));
        };
        EXPECT_EQ(at(orange, 2.5, 12), signalColour(SignalColour::orange, false));
        EXPECT_EQ(at(orange, 10.2, 12), signalColour(SignalColour::orange, false));  // between two bars
        EXPECT_EQ(at(orange, 12, 12).alpha(), 0);                                    // the middle bar
        EXPECT_EQ(at(orange, 12, 2.5), signalColour(SignalColour::orange, false));   // above it
        EXPECT_EQ(at(plain, 12, 12).alpha(), 0);
        EXPECT_EQ(at(plain, 2.5, 12).alpha(), 255);
        EXPECT_NE(at(plain, 2.5, 12), at(orange, 2.5, 12));
    }
    EXPECT_EQ(menuIcon(app::Tint::green).cacheKey(), menuIcon(app::Tint::green).cacheKey());
    EXPECT_NE(menuIcon(app::Tint::green).cacheKey(), menuIcon(app::Tint::orange).cacheKey());
}

TEST(ArtworkTest, ImagesByName) {
    for (const char* name : {"MenuIcon", "MenuLogoDark", "MenuLogoLight"}) EXPECT_FALSE(namedImage(name).isNull()) << name;
    EXPECT_TRUE(namedImage("MenuLogoSepia").isNull());
    EXPECT_FALSE(applicationIcon().isNull());
    const QImage logo = namedImage("MenuLogoLight").pixmap(QSize(119, 24)).toImage();
    EXPECT_EQ(logo.size(), QSize(119, 24));
    EXPECT_EQ(logo.pixelColor(12, 2).alpha(), 255);   // the mark
    EXPECT_EQ(logo.pixelColor(115, 12).alpha(), 0);   // clear after the wordmark
}

}  // namespace
}  // namespace quorvel::tray
