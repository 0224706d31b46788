// Lanes of the password checks: a flood through one lane delays the others by one job.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <future>
#include <string>
#include <vector>

#include "relay/hash_worker.h"

namespace quorvel::relay {
namespace {

TEST(HashWorkerTest, LanesTakeTurnsSoAFloodOnOneLinkDelaysOthersByOneCheck) {
    boost::asio::io_context home;
    const auto working = boost::asio::make_work_guard(home);  // run_one waits for results
    HashWorker worker(home, 32, 1);
    std::promise<void> gate;
    const auto opened = gate.get_future().share();
    std::vector<std::string> order;
    const auto submit = [&](const std::string& lane, const std::string& tag) {
        return worker.run<bool>(
            lane, [opened] { opened.wait(); return true; }, [&order, tag](bool) { order.push_back(tag); });
    };
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(submit(hash_lane::link("a"), "a" + std::to_string(i))) << i;
    EXPECT_FALSE(submit(hash_lane::link("a"), "a9"));  // a0 running, a quarter of the waiting slots taken
    EXPECT_TRUE(submit(hash_lane::link("b"), "b"));
    EXPECT_TRUE(submit(hash_lane::pairing, "pairing"));
    EXPECT_TRUE(submit(hash_lane::devices, "devices"));

    gate.set_value();
    while (order.size() < 12) home.run_one();
    EXPECT_EQ(order, (std::vector<std::string>{"a0", "b", "pairing", "devices", "a1", "a2", "a3", "a4", "a5", "a6",
                                               "a7", "a8"}));
    EXPECT_TRUE(submit(hash_lane::link("a"), "again"));  // the slots come back with the results
    while (order.size() < 13) home.run_one();
}

// With two threads, a lane holds one at most: the others' jobs run beside its flood.
TEST(HashWorkerTest, AFloodedLaneHoldsOneThread) {
    boost::asio::io_context home;
    const auto working = boost::asio::make_work_guard(home);
    HashWorker worker(home, 32, 2);
    std::promise<void> gate;
    const auto opened = gate.get_future().share();
    int flood = 0;
    bool other = false;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(worker.run<bool>(
            hash_lane::link("a"), [opened] { opened.wait(); return true; }, [&](bool) { ++flood; }));
    EXPECT_TRUE(worker.run<bool>(hash_lane::devices, [] { return true; }, [&](bool) { other = true; }));
    home.run_one();  // while the flood's first job still waits on the gate
    EXPECT_TRUE(other);
    EXPECT_EQ(flood, 0);
    gate.set_value();
    while (flood < 3) home.run_one();
}

}  // namespace
}  // namespace quorvel::relay
