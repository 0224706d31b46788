#include <gtest/gtest.h>

#include "relay/guess_limiter.h"

namespace quorvel::relay {
namespace {

using namespace std::chrono_literals;

bool allowed(GuessLimiter& limiter, const std::string& key, Clock::TimePoint now) {
    return limiter.begin(key, now) != GuessLimiter::Attempt::refused;
}

TEST(GuessLimiterTest, AttemptsInFlightCountUntilTheySucceed) {
    GuessLimiter limiter;
    const Clock::TimePoint now{std::chrono::hours(100)};
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(allowed(limiter, "a", now)) << i;
    EXPECT_FALSE(allowed(limiter, "a", now));  // five guesses already pending
    EXPECT_TRUE(allowed(limiter, "b", now));   // per address
    limiter.finish("a", true, now);
    EXPECT_TRUE(allowed(limiter, "a", now));
}

TEST(GuessLimiterTest, AFullTableMakesRoomForNewcomersByForgettingTheStalest) {
    GuessLimiter limiter(GuessLimiter::Limits{2, 15min, 15min, 3});
    Clock::TimePoint now{std::chrono::hours(100)};
    for (const char* address : {"a", "b", "c"}) {
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(allowed(limiter, address, now));
            limiter.finish(address, false, now);
        }
        now += 1s;
    }
    EXPECT_TRUE(allowed(limiter, "d", now));  // full of blocked addresses, yet a newcomer gets in
    EXPECT_TRUE(limiter.clean("a", now));  // in the place of the stalest
    EXPECT_FALSE(allowed(limiter, "c", now));
}

}  // namespace
}  // namespace quorvel::relay
