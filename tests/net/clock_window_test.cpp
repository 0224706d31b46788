#include <gtest/gtest.h>

#include <cmath>

#include "net/clock_window.h"

namespace quorvel {
namespace {

TEST(ClockWindow, OffsetIsServerTimeAtTheRoundTripsMidpoint) {
    ClockWindow window;
    EXPECT_EQ(window.add(1000, 5050, 1100), 4000.0);
    EXPECT_EQ(window.add(1000.25, 7000.5, 1000.75), 7000.5 - 1000.5);  // any numbers, fractions kept
}

TEST(ClockWindow, RoundTripMustBeAtLeastZeroAndUnderTenSeconds) {
    ClockWindow window;
    EXPECT_FALSE(window.add(1000, 0, 11000));
    EXPECT_FALSE(window.add(1000, 0, 999.999));
    EXPECT_FALSE(window.add(NAN, 0, 1000));
    EXPECT_FALSE(window.add(1000, 0, NAN));
    EXPECT_EQ(window.size(), 0u);
    EXPECT_EQ(window.add(1000, 20000, 10999.9), 20000 - (1000 + 0.5 * 9999.9));
    EXPECT_EQ(window.add(1000, 500, 1000), -500.0);  // a zero round trip is fine
}

TEST(ClockWindow, TheOldestOfTheFastestSamplesWins) {
    ClockWindow window;
    window.add(0, 100, 40);       // rtt 40, off 80
    window.add(0, 200, 30);       // rtt 30, off 185
    window.add(0, 300, 30);       // rtt 30, off 285
    EXPECT_EQ(window.add(0, 400, 50), 185.0);
}

TEST(ClockWindow, KeepsFifteenSamples) {
    ClockWindow window;
    window.add(0, 1000, 1);  // the fastest ever: rtt 1
    for (int i = 1; i <= 14; ++i) EXPECT_EQ(window.add(0, 5000 + i, 100), 1000 - 0.5);
    EXPECT_EQ(window.size(), 15u);
    // The sixteenth pushes the fast one out: the oldest of the rtt-100 samples rules.
    EXPECT_EQ(window.add(0, 9999, 100), 5001 - 50.0);
    EXPECT_EQ(window.size(), 15u);
    for (int i = 0; i < 5; ++i) window.add(0, 0, 200);
    EXPECT_EQ(window.size(), 15u);
    window.clear();
    EXPECT_EQ(window.add(0, 100, 300), 100 - 150.0);  // a cleared window starts afresh
}

}  // namespace
}  // namespace quorvel
