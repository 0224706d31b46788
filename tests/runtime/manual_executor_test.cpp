#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "runtime/serial_queue.h"
#include "support/manual_executor.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;

TEST(ManualExecutorTest, TimersRunInDeadlineOrderAndCanBeCancelled) {
    test::ManualExecutor executor;
    std::vector<int> order;
    executor.postAfter(3s, [&] { order.push_back(3); });
    executor.postAfter(1s, [&] { order.push_back(1); });
    auto cancelled = executor.postAfter(2s, [&] { order.push_back(2); });
    executor.post([&] { order.push_back(0); });
    cancelled.cancel();
    executor.advance(2500ms);
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    executor.advance(1s);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3}));
    EXPECT_FALSE(executor.hasTimers());
}

TEST(ManualExecutorTest, RepeatingTimerStopsWhenCancelled) {
    test::ManualExecutor executor;
    int ticks = 0;
    auto timer = postRepeating(executor, 2s, [&] { ++ticks; });
    executor.advance(7s);
    EXPECT_EQ(ticks, 3);
    timer.cancel();
    executor.advance(10s);
    EXPECT_EQ(ticks, 3);
}

TEST(SerialQueueTest, RunsTasksInOrderOnItsNamedThread) {
    SerialQueue queue("quorvel.test");
    std::promise<std::string> name;
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) queue.executor().post([&order, i] { order.push_back(i); });
    queue.executor().post([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name.set_value(buffer);
    });
    EXPECT_EQ(name.get_future().get(), "quorvel.test");
    EXPECT_EQ(order.size(), 100u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

}  // namespace
}  // namespace quorvel
