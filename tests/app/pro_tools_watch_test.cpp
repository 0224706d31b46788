#include <gtest/gtest.h>

#include "app/status_text.h"
#include "app_doubles.h"

namespace quorvel::app::test {
namespace {

using namespace std::chrono_literals;

TEST(ApplicationWatchTest, FirstObjectLaunchesLastOneQuits) {
    ApplicationWatch watch;
    std::vector<std::string> events;
    watch.subscribe([&](const std::string& id) { events.push_back("launch " + id); },
                    [&](const std::string& id) { events.push_back("quit " + id); });
    watch.objectAdded(1, "com.avid.ProTools");
    watch.objectAdded(2, "com.avid.ProTools");
    watch.objectAdded(3, std::nullopt);
    watch.objectAdded(4, "");
    watch.objectAdded(5, "org.other");
    watch.objectRemoved(1);
    watch.objectRemoved(3);
    watch.objectRemoved(99);
    watch.objectRemoved(2);
    watch.objectRemoved(2);
    EXPECT_EQ(events, (std::vector<std::string>{"launch com.avid.ProTools", "launch org.other",
                                                "quit com.avid.ProTools"}));
}

TEST(ApplicationWatchTest, ReannouncedObjectMovesToItsNewIdentity) {
    ApplicationWatch watch;
    std::vector<std::string> events;
    watch.subscribe([&](const std::string& id) { events.push_back("launch " + id); },
                    [&](const std::string& id) { events.push_back("quit " + id); });
    watch.objectAdded(7, "pw-play");
    watch.objectAdded(7, "com.avid.ProTools.Test");
    EXPECT_EQ(events, (std::vector<std::string>{"launch pw-play", "quit pw-play", "launch com.avid.ProTools.Test"}));
}

TEST(ApplicationWatchTest, OnlyChangesAfterSubscribingAreReported) {
    ApplicationWatch watch;
    watch.objectAdded(1, "com.avid.ProTools");
    int quits = 0;
    int launches = 0;
    watch.subscribe([&](const std::string&) { ++launches; }, [&](const std::string&) { ++quits; });
    watch.objectAdded(2, "com.avid.ProTools");
    watch.objectRemoved(1);
    EXPECT_EQ(launches, 0);
    watch.objectRemoved(2);
    EXPECT_EQ(quits, 1);
}

TEST(ProToolsWatchTest, PrefixIsCaseSensitive) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.delegate->appQuit("com.avid.protools");
    h.delegate->appQuit("org.example.Player");
    EXPECT_TRUE(h.state().capture);
    h.delegate->appQuit("com.avid.ProToolsFirst");
    EXPECT_FALSE(h.state().capture);
}

TEST(ProToolsWatchTest, QuitOnAirStopsTheCaptureAndWarns) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.sender().events.onState({SenderState::Kind::connected, ""});
    FakeSource& source = h.capture.last();
    h.watch.objectAdded(10, "com.avid.ProTools");
    h.watch.objectRemoved(10);
    EXPECT_EQ(source.stops, 1);
    EXPECT_FALSE(h.state().capture);
    EXPECT_FALSE(h.state().pipeline);
    EXPECT_EQ(h.delegate->menu().statusText, "⚠︎ Pro Tools закрыт");
    EXPECT_EQ(h.delegate->menu().tint, Tint::orange);

    // The retry timer takes over; its outcome replaces the text.
    h.queue.advance(3s);
    ASSERT_EQ(h.capture.made.size(), 2u);
    h.capture.last().finishStart("Pro Tools не запущен");
    EXPECT_EQ(h.delegate->menu().statusText, "⚠︎ Pro Tools не запущен");
}

TEST(ProToolsWatchTest, QuitWhileOffSetsNoProblem) {
    AppHarness h;
    h.launchPairedWithLink();
    const int before = h.menuChanges;
    h.delegate->appQuit("com.avid.ProTools");
    EXPECT_FALSE(h.state().problem);
    EXPECT_EQ(h.menuChanges, before + 1);
}

TEST(ProToolsWatchTest, LaunchStartsTheCaptureThreeSecondsLater) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.delegate->appQuit("com.avid.ProTools");
    h.queue.advance(1s);  // out of phase with the retry timer, which fires at 3 s
    h.delegate->appLaunched("com.avid.ProTools");
    h.queue.advance(2s);
    ASSERT_EQ(h.capture.made.size(), 2u);  // the retry timer's attempt, at 3 s
    h.capture.last().finishStart("not yet");
    h.queue.advance(999ms);
    EXPECT_EQ(h.capture.made.size(), 2u);
    h.queue.advance(1ms);
    EXPECT_EQ(h.capture.made.size(), 3u);  // the launch's own attempt
}

TEST(ProToolsWatchTest, LaunchWhileOffOrCapturingDoesNothing) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->appLaunched("com.avid.ProTools");
    h.queue.advance(3s);
    EXPECT_TRUE(h.capture.made.empty());
    h.goOnAir();
    h.delegate->appLaunched("com.avid.ProTools");
    h.queue.advance(3s);
    EXPECT_EQ(h.capture.made.size(), 1u);
    h.delegate->appLaunched("com.other");
}

}  // namespace
}  // namespace quorvel::app::test
