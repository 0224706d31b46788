// The main queue on Qt's event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QThread>

#include <algorithm>

#include <thread>

#include "tray/qt_executor.h"
#include "tray_test_support.h"

namespace quorvel::tray::test {
namespace {

using namespace std::chrono_literals;

// Posts from two threads each run in their own order, on the GUI thread, and never
// inside the call.
TEST(QtExecutor, RunsPostsFromAnyThreadInOrderOnTheGuiThread) {
    QtExecutor queue;
    std::vector<int> ran;
    bool onGuiThread = true;
    auto record = [&](int n) {
        return [&, n] {
            onGuiThread = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
            ran.push_back(n);
        };
    };
    queue.post(record(0));
    EXPECT_TRUE(ran.empty());
    std::thread other([&] {
        for (int n = 1; n <= 100; ++n) queue.post(record(n));
    });
    other.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() == 101; }, 5000));
    EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end()));
    EXPECT_TRUE(onGuiThread);
}

// A timer armed before a later one with a shorter delay has fired by the time the
// later one runs, so the cancelled one had its chance.
TEST(QtExecutor, RunsTimersNotBeforeTheirTimeUnlessCancelledAlsoWhenArmedFromAnotherThread) {
    QtExecutor queue;
    std::vector<std::string> ran;
    auto cancelled = queue.postAfter(1ms, [&] { ran.push_back("cancelled"); });
    cancelled.cancel();
    const auto start = queue.now();
    std::chrono::steady_clock::time_point laterRan;
    queue.postAfter(5ms, [&] {
        ran.push_back("later");
        laterRan = queue.now();
    });
    std::thread([&] { queue.postAfter(1ms, [&] { ran.push_back("from a thread"); }); }).join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.size() == 2; }, 5000));
    EXPECT_GE(laterRan - start, 5ms);
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, (std::vector<std::string>{"from a thread", "later"}));
}

// Triggers from a real-time thread coalesce into runs on the GUI thread; nothing runs
// once the wakeup is gone.
TEST(QtExecutor, WakeupTriggeredFromAnotherThreadRunsItsTaskOnTheGuiThread) {
    QtExecutor queue;
    int runs = 0;
    auto wakeup = queue.makeWakeup([&] { ++runs; });
    std::thread([&] {
        for (int i = 0; i < 1000; ++i) wakeup->trigger();
    }).join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs >= 1; }, 5000));
    EXPECT_LE(runs, 1000);
    wakeup->trigger();
    wakeup.reset();
    const int before = runs;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(runs, before);
}

}  // namespace
}  // namespace quorvel::tray::test
