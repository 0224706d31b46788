#include <gtest/gtest.h>

#include "relay/guess_limiter.h"

namespace quorvel::relay {
namespace {

using namespace std::chrono_literals;

TEST(GuessLimiterTest, AttemptsInFlightCountUntilTheySucceed) {
    GuessLimiter limiter;
    const Clock::TimePoint now{std::chrono::hours(100)};
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(limiter.begin("a", now)) << i;
    EXPECT_FALSE(limiter.begin("a", now));  // five guesses already pending
    EXPECT_TRUE(limiter.begin("b", now));   // per address
    limiter.finish("a", true, now);
    EXPECT_TRUE(limiter.begin("a", now));
}

TEST(GuessLimiterTest, TheTableOfAddressesStaysBounded) {
    GuessLimiter limiter(GuessLimiter::Limits{5, 15min, 15min, 3});
    const Clock::TimePoint now{std::chrono::hours(100)};
    for (const char* address : {"a", "b", "c"}) {
        ASSERT_TRUE(limiter.begin(address, now));
        limiter.finish(address, false, now);
    }
    EXPECT_FALSE(limiter.begin("d", now));  // full of recent failures
    EXPECT_TRUE(limiter.begin("d", now + 15min));  // old entries pruned
}

}  // namespace
}  // namespace quorvel::relay
