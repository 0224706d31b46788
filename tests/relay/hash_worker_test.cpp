// Shares of the password checks: a flood through one door leaves room for the others.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <future>

#include "relay/hash_worker.h"

namespace quorvel::relay {
namespace {

TEST(HashWorkerTest, PairingAndListenersCannotTakeTheSlotsOfPairedDevices) {
    boost::asio::io_context home;
    const auto working = boost::asio::make_work_guard(home);  // run_one waits for results
    HashWorker worker(home, 8);
    std::promise<void> gate;
    const auto opened = gate.get_future().share();
    int done = 0;
    const auto submit = [&](HashUse use) {
        return worker.run<bool>(
            use, [opened] { opened.wait(); return true; }, [&](bool) { ++done; });
    };
    EXPECT_TRUE(submit(HashUse::pairing));  // the worker waits on the gate in this one
    EXPECT_TRUE(submit(HashUse::pairing));
    EXPECT_FALSE(submit(HashUse::pairing));  // a quarter
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(submit(HashUse::listener)) << i;
    EXPECT_FALSE(submit(HashUse::listener));  // a half
    EXPECT_TRUE(submit(HashUse::device));
    EXPECT_TRUE(submit(HashUse::device));
    EXPECT_FALSE(submit(HashUse::device));  // all eight slots taken
    EXPECT_FALSE(submit(HashUse::pairing));

    gate.set_value();
    while (done < 8) home.run_one();
    EXPECT_TRUE(submit(HashUse::pairing));  // the slots come back with the results
    EXPECT_TRUE(submit(HashUse::pairing));
    while (done < 10) home.run_one();
}

}  // namespace
}  // namespace quorvel::relay
