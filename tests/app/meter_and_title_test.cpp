#include <gtest/gtest.h>

#include <cmath>

#include "app/level_meter.h"
#include "app/menu_title.h"
#include "support/manual_executor.h"

namespace quorvel::app {
namespace {

using namespace std::chrono_literals;

struct LevelMeterTest : ::testing::Test {
    quorvel::test::ManualExecutor queue;
    LevelMeter meter{queue};
    int redraws = 0;
    void SetUp() override { meter.onRedraw = [this] { ++redraws; }; }
};

TEST_F(LevelMeterTest, PeaksBecomeDecibels) {
    meter.setShown(true);
    meter.push(1.0f, 0.5f);
    queue.advance(LevelMeter::tickInterval);
    EXPECT_FLOAT_EQ(meter.dbLeft(), 0.0f);
    EXPECT_NEAR(meter.dbRight(), -6.0206f, 1e-4);
    EXPECT_EQ(meter.peakLeft(), 0.0f);
    EXPECT_EQ(redraws, 1);

    meter.reset();
    meter.push(0.001f, 0.0f);
    meter.tick();
    EXPECT_NEAR(meter.dbLeft(), -60.0f, 1e-4);
    EXPECT_EQ(meter.dbRight(), -70.0f);
    meter.reset();
    meter.push(1e-6f, -1.0f);  // below the floor, and nonsense
    meter.tick();
    EXPECT_EQ(meter.dbLeft(), -70.0f);
    EXPECT_EQ(meter.dbRight(), -70.0f);
}

TEST_F(LevelMeterTest, OnlyTheLargestPushBetweenTicksCounts) {
    meter.push(0.1f, 0.9f);
    meter.push(0.5f, 0.2f);
    meter.push(0.3f, 0.3f);
    EXPECT_FLOAT_EQ(meter.peakLeft(), 0.5f);
    EXPECT_FLOAT_EQ(meter.peakRight(), 0.9f);
}

TEST_F(LevelMeterTest, FallsThirteenDecibelsPerSecondWhateverTheTickRate) {
    meter.setShown(true);
    meter.push(1.0f, 1.0f);
    queue.advance(LevelMeter::tickInterval);
    queue.advance(1s);
    EXPECT_NEAR(meter.dbLeft(), -13.0f, 0.01f);
    // Ticks falling late still fall by elapsed time.
    meter.setShown(false);
    queue.advance(10s);
    EXPECT_NEAR(meter.dbLeft(), -13.0f, 0.01f);  // no timer while hidden
    meter.setShown(true);
    queue.advance(500ms);
    EXPECT_NEAR(meter.dbLeft(), -19.5f, 0.02f);
}

TEST_F(LevelMeterTest, FullScaleThenSilenceReachesTheFloorsInTime) {
    meter.setShown(true);
    meter.push(1.0f, 1.0f);
    meter.tick();
    queue.advance(4550ms);
    EXPECT_GT(meter.dbLeft(), -60.0f);
    queue.advance(100ms);  // about 4.6 s
    EXPECT_LE(meter.dbLeft(), -60.0f);
    queue.advance(800ms);  // past 70 / 13 s
    EXPECT_EQ(meter.dbLeft(), -70.0f);
}

TEST_F(LevelMeterTest, NewPeakAboveTheFallingLevelReplacesIt) {
    meter.setShown(true);
    meter.push(0.1f, 0.1f);
    meter.tick();
    queue.advance(1s);
    meter.push(1.0f, 0.0f);
    meter.tick();
    EXPECT_FLOAT_EQ(meter.dbLeft(), 0.0f);
}

TEST_F(LevelMeterTest, OpeningClearsHeldPeaksButKeepsLevels) {
    meter.setShown(true);
    meter.push(1.0f, 1.0f);
    meter.tick();
    meter.setShown(false);
    meter.push(0.5f, 0.5f);  // while closed
    meter.setShown(true);
    EXPECT_EQ(meter.peakLeft(), 0.0f);
    EXPECT_FLOAT_EQ(meter.dbLeft(), 0.0f);
    EXPECT_TRUE(meter.ticking());
    meter.reset();
    EXPECT_EQ(meter.dbLeft(), LevelMeter::silenceDb);
}

TEST(LevelMeterLayoutTest, BarsAndZones) {
    using C = LevelMeter::Colour;
    const auto full = LevelMeter::layout(260, 38, 0.0f, -6.0206f);
    EXPECT_EQ(full[0].track, (Rect{16, 19, 228, 7}));
    EXPECT_EQ(full[1].track, (Rect{16, 7, 228, 7}));
    EXPECT_DOUBLE_EQ(full[0].fillWidth, 228);
    ASSERT_EQ(full[0].fills.size(), 3u);
    EXPECT_EQ(full[0].fills[0].colour, C::green);
    EXPECT_NEAR(full[0].fills[0].rect.width, 182.4, 1e-9);
    EXPECT_NEAR(full[0].fills[1].rect.x, 16 + 182.4, 1e-9);
    EXPECT_NEAR(full[0].fills[1].rect.width, 216.6 - 182.4, 1e-9);
    EXPECT_EQ(full[0].fills[2].colour, C::red);
    EXPECT_NEAR(full[0].fills[2].rect.width, 228 - 216.6, 1e-9);

    ASSERT_EQ(full[1].fills.size(), 2u);  // green and part of yellow
    EXPECT_EQ(full[1].fills[1].colour, C::yellow);
    EXPECT_NEAR(full[1].fills[1].rect.x + full[1].fills[1].rect.width, 16 + full[1].fillWidth, 1e-9);

    const auto empty = LevelMeter::layout(260, 38, -65.0f, -60.0f);
    EXPECT_EQ(empty[0].fillWidth, 0);
    EXPECT_TRUE(empty[0].fills.empty());
    EXPECT_TRUE(empty[1].fills.empty());
}

TEST(MenuTitleTest, LabelStates) {
    MenuTitle title;
    title.set(true, true);
    EXPECT_EQ(title.text(), "ON AIR");
    EXPECT_EQ(title.font(), MenuTitle::Font::semiboldControl);
    EXPECT_EQ(title.colour(), MenuTitle::Colour::red);
    title.set(false, false);
    EXPECT_EQ(title.text(), "");
    EXPECT_EQ(title.font(), MenuTitle::Font::semiboldControl);  // left as it was
    EXPECT_EQ(title.colour(), MenuTitle::Colour::red);
    title.set(false, true);
    EXPECT_EQ(title.text(), "Off");
    EXPECT_EQ(title.font(), MenuTitle::Font::menu);
    EXPECT_EQ(title.colour(), MenuTitle::Colour::tertiaryLabel);
}

TEST(MenuTitleTest, LayoutAndLogo) {
    const auto layout = MenuTitle::layout(260, 36);
    EXPECT_EQ(layout.logo, (Rect{14, 6, 119, 24}));
    EXPECT_EQ(layout.label, (Rect{145, 9.5, 101, 17}));
    EXPECT_EQ(MenuTitle::logoName(true), "MenuLogoDark");
    EXPECT_EQ(MenuTitle::logoName(false), "MenuLogoLight");
}

}  // namespace
}  // namespace quorvel::app
