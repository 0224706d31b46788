#include <gtest/gtest.h>

#include <vector>

#include "app/adapters/first_listing_account.h"
#include "app/status_text.h"
#include "app_doubles.h"

namespace quorvel::app::test {
namespace {

using namespace std::chrono_literals;
using K = SenderState::Kind;

// One 20 ms block of stereo audio at `rate` with peaks (left, right).
void feed(FakeSource& source, double rate, float left, float right) {
    const auto frames = static_cast<std::int64_t>(rate / 50);
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (std::size_t i = 0; i < samples.size(); i += 2) {
        samples[i] = left;
        samples[i + 1] = right;
    }
    AudioBuffer buffer{2, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
    source.onAudio(AudioBufferList(&buffer, 1), frames, CaptureFormat{rate, 2, true});
}

// No timer of a broadcast fires any more: no link refresh, no capture attempt.
void expectTimersStopped(AppHarness& h) {
    const std::size_t lists = h.account.lists.size();
    const std::size_t made = h.capture.made.size();
    h.queue.advance(std::chrono::minutes(2));
    EXPECT_EQ(h.account.lists.size(), lists);
    EXPECT_EQ(h.capture.made.size(), made);
}

struct LaunchCase {
    std::optional<std::string> saved;
    bool directAvailable;
    std::optional<SourceChoice> expected;
};

TEST(LaunchTest, RestoresTheSavedSourceOrFallsBack) {
    const LaunchCase cases[] = {
        {"direct", false, std::nullopt},
        {"direct", true, SourceChoice::direct()},
        {std::nullopt, true, SourceChoice::direct()},
        {std::nullopt, false, std::nullopt},
        {"input|x|X", true, SourceChoice::direct()},
        {"input|3|gone-device", false, SourceChoice::input("gone-device", 3)},
        {"input|3|gone-device", true, SourceChoice::input("gone-device", 3)},
    };
    for (const LaunchCase& c : cases) {
        AppHarness h;
        if (c.saved) h.preferences.values["source"] = *c.saved;
        h.capture.direct = c.directAvailable;
        h.launch();
        EXPECT_EQ(h.state().source, c.expected) << c.saved.value_or("(none)") << " " << c.directAvailable;
    }
}

TEST(LaunchTest, NeverStartsABroadcast) {
    AppHarness h;
    h.launchPairedWithLink();
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_TRUE(h.senders.empty());
    EXPECT_EQ(h.item(MenuRole::airItem).title, "Start Stream");
    EXPECT_EQ(h.state().selectedSessionId, "a");
    ASSERT_EQ(h.account.lists.size(), 1u);
    EXPECT_EQ(h.account.lists[0].key, "device-key");
    EXPECT_FALSE(h.queue.hasTimers());
}

TEST(LaunchTest, WithoutKeyAsksForNoLinks) {
    AppHarness h;
    h.launch();
    EXPECT_TRUE(h.account.lists.empty());
    EXPECT_TRUE(h.state().links.empty());
    EXPECT_GE(h.menuChanges, 1);
}

TEST(ToggleTest, WithoutKeyNothingChangesButTheMenuIsRefreshed) {
    AppHarness h;
    h.launch();
    const int before = h.menuChanges;
    h.delegate->toggleStream();
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_TRUE(h.senders.empty());
    EXPECT_EQ(h.menuChanges, before + 1);
}

// No selection at all, or a selected id the server does not list.
TEST(ToggleTest, WithoutListedSelectionGoesOnAirWithoutSender) {
    for (const std::optional<std::string>& selected : {std::optional<std::string>(), std::optional<std::string>("gone")}) {
        AppHarness h;
        h.config.stored.senderKey = "device-key";
        if (selected) h.preferences.values["session"] = *selected;
        h.launch();
        h.account.lists.back().completion(std::vector<StreamLink>{link("a")});
        EXPECT_FALSE(h.item(MenuRole::airItem).enabled);
        h.delegate->toggleStream();
        EXPECT_EQ(h.state().mode, Mode::air);
        EXPECT_TRUE(h.senders.empty());
        EXPECT_TRUE(h.capture.made.empty());
        EXPECT_FALSE(h.queue.hasTimers());
        EXPECT_TRUE(h.item(MenuRole::airItem).enabled);
        EXPECT_EQ(h.item(MenuRole::airItem).title, "Stop Stream");
        h.delegate->toggleStream();
        EXPECT_EQ(h.state().mode, Mode::off);
    }
}

TEST(ToggleTest, StartsSenderThenCaptureAndStopsInOrder) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->toggleStream();
    ASSERT_EQ(h.senders.size(), 1u);
    EXPECT_EQ(h.sender().key, "device-key");
    EXPECT_EQ(h.sender().sessionId, "a");
    EXPECT_EQ(h.sender().starts, 1);
    ASSERT_EQ(h.capture.made.size(), 1u);
    EXPECT_EQ(h.capture.last().choice, SourceChoice::direct());
    EXPECT_TRUE(h.state().starting);
    EXPECT_FALSE(h.state().capture);

    h.capture.last().finishStart();
    EXPECT_FALSE(h.state().starting);
    EXPECT_TRUE(h.state().capture);
    EXPECT_TRUE(h.state().pipeline);

    std::vector<std::string> log;
    h.sender().log = &log;
    h.capture.last().log = &log;
    h.delegate->toggleStream();
    EXPECT_EQ(log, (std::vector<std::string>{"capture", "sender"}));
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_FALSE(h.state().sender);
    EXPECT_FALSE(h.state().capture);
    EXPECT_FALSE(h.state().pipeline);
    expectTimersStopped(h);
}

TEST(ToggleTest, TerminatingOnAirStopsCaptureAndSender) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.delegate->applicationWillTerminate();
    EXPECT_EQ(h.capture.last().stops, 1);
    EXPECT_EQ(h.sender().stops, 1);
    expectTimersStopped(h);
}

TEST(CaptureTest, FailedStartShowsTheErrorAndRetriesEveryThreeSeconds) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->toggleStream();
    h.capture.last().finishStart("Нет доступа");
    EXPECT_EQ(h.capture.last().stops, 1);
    EXPECT_EQ(h.state().problem, "Нет доступа");
    EXPECT_EQ(h.delegate->menu().statusText, "⚠︎ Нет доступа");
    EXPECT_EQ(h.delegate->menu().tint, Tint::orange);

    h.queue.advance(2999ms);
    EXPECT_EQ(h.capture.made.size(), 1u);
    h.queue.advance(1ms);
    ASSERT_EQ(h.capture.made.size(), 2u);
    h.capture.last().finishStart("Другая ошибка");
    EXPECT_EQ(h.state().problem, "Другая ошибка");

    h.queue.advance(3s);
    ASSERT_EQ(h.capture.made.size(), 3u);
    h.capture.last().finishStart();
    EXPECT_FALSE(h.state().problem);
    EXPECT_TRUE(h.state().capture);
    h.queue.advance(9s);
    EXPECT_EQ(h.capture.made.size(), 3u);  // running: no more attempts
}

TEST(CaptureTest, NoCaptureMethodIsAProblemEveryAttempt) {
    AppHarness h;
    h.launchPairedWithLink();
    h.capture.canMake = false;
    h.delegate->toggleStream();
    const std::string text =
        "Этот способ недоступен: звуковой сервер PipeWire или PulseAudio не отвечает — выберите вход звуковой карты";
    EXPECT_EQ(h.state().problem, text);
    EXPECT_FALSE(h.state().starting);
    h.capture.canMake = true;
    h.queue.advance(3s);
    EXPECT_EQ(h.capture.made.size(), 1u);
}

TEST(CaptureTest, CompletionAfterStopStopsTheNewSource) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->toggleStream();
    FakeSource& first = h.capture.last();
    h.delegate->toggleStream();
    EXPECT_EQ(first.stops, 0);  // the start in flight is not cancelled
    first.finishStart();
    EXPECT_EQ(first.stops, 1);
    EXPECT_FALSE(h.state().capture);
    EXPECT_FALSE(h.state().starting);
    EXPECT_FALSE(h.state().problem);
}

TEST(CaptureTest, CompletionForAReplacedBroadcastStopsItsSource) {
    AppHarness h;
    h.launchPairedWithLink();
    h.delegate->toggleStream();
    FakeSource& first = h.capture.last();
    h.delegate->toggleStream();
    h.delegate->toggleStream();  // a new sender; the old start still blocks a new one
    EXPECT_EQ(h.capture.made.size(), 1u);
    first.finishStart();
    EXPECT_EQ(first.stops, 1);
    EXPECT_FALSE(h.state().capture);
    h.queue.advance(3s);  // the retry picks it up
    ASSERT_EQ(h.capture.made.size(), 2u);
    h.capture.last().finishStart();
    EXPECT_TRUE(h.state().capture);
}

TEST(CaptureTest, RestartRequestReplacesTheSourceOnAirOnly) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    FakeSource& first = h.capture.last();
    first.onRestartNeeded();
    EXPECT_EQ(h.capture.made.size(), 1u);  // only after the hop to the main queue
    h.queue.runPending();
    EXPECT_EQ(first.stops, 1);
    ASSERT_EQ(h.capture.made.size(), 2u);
    EXPECT_FALSE(h.state().capture);
    h.capture.last().finishStart();

    auto restart = h.capture.last().onRestartNeeded;
    h.delegate->toggleStream();
    restart();
    h.queue.runPending();
    EXPECT_EQ(h.capture.made.size(), 2u);
    EXPECT_EQ(h.state().mode, Mode::off);
}

TEST(CaptureTest, AudioReachesTheMeterAndTheDetailLine) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.sender().events.onState({K::connected, ""});
    h.sender().events.onListeners(3);
    feed(h.capture.last(), 48000, 0.5f, 0.25f);
    h.queue.runPending();
    EXPECT_EQ(h.state().sampleRate, 48000);
    EXPECT_FLOAT_EQ(h.delegate->meter().peakLeft(), 0.5f);
    EXPECT_FLOAT_EQ(h.delegate->meter().peakRight(), 0.25f);
    EXPECT_EQ(h.delegate->menu().detailText, "48 kHz · 24-bit · listeners: 3");
    EXPECT_EQ(h.delegate->menu().statusText, "");
    EXPECT_TRUE(h.delegate->menu().live);

    feed(h.capture.last(), 22050, 0.5f, 0.5f);
    h.queue.runPending();
    EXPECT_EQ(h.delegate->menu().statusText,
              "⚠︎ " + AudioPipeline::unsupportedRateText(22050));
    EXPECT_FALSE(h.delegate->menu().live);
}

TEST(SenderEventsTest, RevocationForgetsTheKeyAndResetsEverything) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    h.sender().events.onState({K::connected, ""});
    h.sender().events.onListeners(2);
    h.sender().events.onRevoked();
    EXPECT_EQ(h.config.deletions, 1);
    EXPECT_FALSE(h.state().config.senderKey);
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_FALSE(h.state().sender);
    EXPECT_FALSE(h.state().capture);
    EXPECT_EQ(h.sender().stops, 1);
    EXPECT_EQ(h.capture.last().stops, 1);
    EXPECT_EQ(h.state().netState, SenderState{});
    EXPECT_EQ(h.state().listeners, 0);
    EXPECT_EQ(h.delegate->menu().statusText, "Connect this computer: “Connect to Server…”");
    EXPECT_FALSE(h.item(MenuRole::pairItem).hidden);
    expectTimersStopped(h);
}

TEST(SenderEventsTest, SessionEndOnAirStopsAndClearsTheSelection) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    const std::size_t listsBefore = h.account.lists.size();
    h.sender().events.onSessionEnded();
    EXPECT_EQ(h.state().mode, Mode::off);
    EXPECT_FALSE(h.state().sender);
    EXPECT_EQ(h.sender().stops, 1);
    EXPECT_FALSE(h.state().selectedSessionId);
    EXPECT_FALSE(h.preferences.values.contains("session"));
    EXPECT_EQ(h.account.lists.size(), listsBefore + 1);
}

TEST(SenderEventsTest, LateSessionEndWhileOffStillClearsTheSelection) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    FakeSender& old = h.sender();
    h.delegate->toggleStream();
    old.events.onSessionEnded();
    EXPECT_FALSE(h.state().selectedSessionId);
    EXPECT_FALSE(h.preferences.values.contains("session"));
}

TEST(SenderEventsTest, LateReportsOfAnEarlierSenderLeaveTheCurrentBroadcastAlone) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    auto old = h.senders.back();
    h.delegate->toggleStream();
    h.delegate->perform(MenuAction::selectSession, "b");
    h.delegate->toggleStream();
    ASSERT_EQ(h.senders.size(), 2u);
    h.sender().events.onState({K::connecting, ""});
    old->events.onState({K::connected, ""});
    old->events.onListeners(4);
    old->events.onSessionEnded();
    EXPECT_EQ(h.state().netState.kind, K::connecting);
    EXPECT_EQ(h.state().listeners, 0);
    EXPECT_EQ(h.state().mode, Mode::air);
    EXPECT_EQ(h.state().selectedSessionId, "b");
}

TEST(SenderEventsTest, EventsAfterTheDelegateIsGoneDoNothing) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    SenderEvents events = h.sender().events;
    h.senders.back()->events = {};
    h.delegate.reset();
    events.onState({K::connected, ""});
    events.onSessionEnded();
    events.onRevoked();
    EXPECT_EQ(h.config.deletions, 0);
}

TEST(TimersTest, LinksRefreshEveryThirtySecondsOnAirOnly) {
    AppHarness h;
    h.launchPairedWithLink();
    h.goOnAir();
    const std::size_t before = h.account.lists.size();
    h.queue.advance(29s);
    EXPECT_EQ(h.account.lists.size(), before);
    h.queue.advance(1s);
    EXPECT_EQ(h.account.lists.size(), before + 1);
    h.queue.advance(30s);
    EXPECT_EQ(h.account.lists.size(), before + 2);
    h.delegate->toggleStream();
    h.queue.advance(120s);
    EXPECT_EQ(h.account.lists.size(), before + 2);
}

// `quorvel stream` waits for a relay out of reach at start as the running broadcast does.
TEST(FirstListingAccount, WaitsOutAServerOutOfReachUntilTheFirstListingOnly) {
    quorvel::test::ManualExecutor queue;
    FakeAccount inner;
    FirstListingAccount account(inner, queue);
    std::vector<Duration> waits;
    std::optional<std::optional<std::string>> first;
    int answers = 0;
    account.onWaiting = [&](const std::string&, Duration delay) { waits.push_back(delay); };
    account.onFirstListing = [&](std::optional<std::string> failure) { first = failure; };
    account.listLinks({}, "k", [&](auto) { ++answers; });
    for (int i = 0; i < 5; ++i) {
        inner.lists.back().completion(AccountFailure{"No connection", true});
        queue.advance(waits.back());
    }
    EXPECT_EQ(waits, (std::vector<Duration>{1s, 2s, 4s, 8s, 10s}));
    EXPECT_EQ(answers, 0);
    inner.answerList({});
    EXPECT_EQ(answers, 1);
    ASSERT_TRUE(first);
    EXPECT_FALSE(*first);
    account.listLinks({}, "k", [&](auto) { ++answers; });
    inner.lists.back().completion(AccountFailure{"No connection", true});
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(inner.lists.size(), 7u);
}

}  // namespace
}  // namespace quorvel::app::test
