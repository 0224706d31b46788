#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QWidgetAction>

#include "app/level_meter.h"
#include "app/menu_title.h"
#include "support/manual_executor.h"
#include "tray/level_meter_view.h"
#include "tray/menu_title_view.h"
#include "tray/system_colours.h"
#include "tray/qt_test_application.h"

namespace quorvel::tray {
namespace {

QPalette paletteWithWindow(QColor window, QColor text) {
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    return palette;
}

// A view shown the way the status menu shows it: a widget action in a popped-up QMenu.
QMenu* menuShowing(QWidget* view) {
    auto* menu = new QMenu;
    auto* action = new QWidgetAction(menu);
    action->setDefaultWidget(view);
    menu->addAction(action);
    menu->popup(QPoint(10, 10));
    return menu;
}

struct LevelMeterViewTest : ::testing::Test {
    test::ManualExecutor queue;
    app::LevelMeter meter{queue};
    LevelMeterView view{meter};
    QImage pixels() { return view.grab().toImage(); }
    QColor background(const QImage& image) { return image.pixelColor(1, 1); }
    QColor at(const QImage& image, double barX, int bar) {
        const int rowCentre = bar == 0 ? 15 : 27;  // bars 7 high at 12 and 24 from the top
        return image.pixelColor(static_cast<int>(16 + barX), rowCentre);
    }
};

TEST_F(LevelMeterViewTest, ZonesAreDrawnAtTheirPlaceForTheLevel) {
    const bool dark = isDark(view.palette());
    const QColor green = signalColour(SignalColour::green, dark);
    const QColor yellow = signalColour(SignalColour::yellow, dark);
    const QColor red = signalColour(SignalColour::red, dark);
    EXPECT_EQ(view.size(), QSize(260, 38));

    meter.setShown(true);
    meter.push(1.0f, 0.5f);  // 0 dB and -6.02 dB: the right bar fills 205.1 of 228 points
    queue.advance(app::LevelMeter::tickInterval);
    QImage image = pixels();
    EXPECT_EQ(at(image, 5, 0), green);
    EXPECT_EQ(at(image, 180, 0), green);
    EXPECT_EQ(at(image, 185, 0), yellow);
    EXPECT_EQ(at(image, 214, 0), yellow);
    EXPECT_EQ(at(image, 220, 0), red);
    EXPECT_EQ(at(image, 226, 0), red);
    EXPECT_EQ(at(image, 100, 1), green);
    EXPECT_EQ(at(image, 203, 1), yellow);
    for (double x : {208.0, 220.0}) EXPECT_NE(at(image, x, 1), yellow) << x;
    EXPECT_EQ(at(image, 208, 1), at(image, 220, 1));  // the empty track
    // Nothing is drawn between or around the bars.
    EXPECT_EQ(image.pixelColor(130, 21), background(image));
    EXPECT_EQ(image.pixelColor(8, 15), background(image));
    EXPECT_EQ(image.pixelColor(250, 27), background(image));

    meter.reset();
    image = pixels();
    EXPECT_NE(at(image, 5, 0), green);
    EXPECT_EQ(at(image, 5, 0), at(image, 226, 1));
}

TEST(LevelMeterViewInMenuTest, TicksOnlyWhileItsMenuIsOpen) {
    test::ManualExecutor queue;
    app::LevelMeter meter{queue};
    auto* view = new LevelMeterView(meter);
    EXPECT_FALSE(meter.ticking());
    std::unique_ptr<QMenu> menu(menuShowing(view));
    EXPECT_TRUE(meter.ticking());
    meter.push(1.0f, 1.0f);
    queue.advance(app::LevelMeter::tickInterval);
    EXPECT_FLOAT_EQ(meter.dbLeft(), 0.0f);

    menu->hide();
    EXPECT_FALSE(meter.ticking());
    menu->popup(QPoint(10, 10));
    EXPECT_TRUE(meter.ticking());
    menu.reset();
    EXPECT_FALSE(meter.ticking());
    EXPECT_FALSE(meter.onRedraw);
}

struct MenuTitleViewTest : ::testing::Test {
    MenuTitleView view;
    void TearDown() override { QApplication::setPalette(QPalette()); }
};

TEST_F(MenuTitleViewTest, LabelFollowsTheState) {
    EXPECT_EQ(view.size(), QSize(260, 36));
    EXPECT_EQ(view.label().geometry(), QRect(145, 10, 101, 17));
    app::MenuTitle title;
    title.set(false, true);
    view.set(title);
    EXPECT_EQ(view.label().text(), "Off");
    EXPECT_EQ(view.label().palette().color(QPalette::WindowText),
              labelColour(view.palette(), LabelColour::tertiary));

    title.set(true, true);  // live wins
    view.set(title);
    EXPECT_EQ(view.label().text(), "ON AIR");
    EXPECT_EQ(view.label().font().weight(), QFont::DemiBold);
    EXPECT_EQ(view.label().palette().color(QPalette::WindowText),
              signalColour(SignalColour::red, isDark(view.palette())));

    title.set(false, false);
    view.set(title);
    EXPECT_EQ(view.label().text(), "");
    EXPECT_EQ(view.label().font().weight(), QFont::DemiBold);
}

TEST_F(MenuTitleViewTest, LogoFollowsThePaletteAlsoWhileShown) {
    const QColor darkText(0xf5, 0xf5, 0xf7);  // the wordmark of the dark logo
    QApplication::setPalette(paletteWithWindow(Qt::white, Qt::black));
    auto* shown = new MenuTitleView;
    std::unique_ptr<QMenu> menu(menuShowing(shown));
    EXPECT_EQ(shown->logoName(), "MenuLogoLight");

    QApplication::setPalette(paletteWithWindow(QColor(0x2b, 0x2b, 0x2b), Qt::white));
    QCoreApplication::processEvents();  // the change reaches widgets as posted events
    EXPECT_EQ(shown->logoName(), "MenuLogoDark");
    // The "V" of the wordmark, whose left stem starts 30 points into the logo.
    const QImage image = shown->grab().toImage();
    EXPECT_EQ(image.pixelColor(14 + 32, 6 + 7), darkText);

    QApplication::setPalette(paletteWithWindow(QColor(0xee, 0xee, 0xee), Qt::black));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown->logoName(), "MenuLogoLight");
}

}  // namespace
}  // namespace quorvel::tray
