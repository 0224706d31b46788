#include <boost/json/object.hpp>
#include <gtest/gtest.h>

#include <algorithm>

#include "json/json.h"
#include "relay/admin.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

std::optional<boost::json::object> parsed(const std::optional<std::string>& text) {
    return text ? json::parseObject(*text) : std::nullopt;
}

class BroadcastTest : public LinkFixture {
protected:
    BroadcastTest() : LinkFixture(5) {}
};

TEST_F(BroadcastTest, HelloIsRefusedForUnknownRevokedOrEndedCredentials) {
    EXPECT_EQ(refusal(*relay_, "/ws/send", helloText("not-a-key", link_)), "auth");
    EXPECT_EQ(refusal(*relay_, "/ws/send", R"({"type":"hello","session":")" + link_ + "\"}"), "auth");
    EXPECT_EQ(refusal(*relay_, "/ws/send", helloText(key_, "no-such-link")), "session");
    EXPECT_EQ(refusal(*relay_, "/ws/send", R"({"type":"hello","key":")" + key_ + "\"}"), "session");

    httpPost(url("/api/device/sessions/" + link_ + "/end"), jsonText("key", key_));
    EXPECT_EQ(refusal(*relay_, "/ws/send", helloText(key_, link_)), "session");

    const std::string other = createLink(*relay_, key_);
    ASSERT_TRUE(relay::admin::revokeDevice(dir_.path(), 1));
    EXPECT_EQ(refusal(*relay_, "/ws/send", helloText(key_, other)), "revoked");
}

TEST_F(BroadcastTest, WelcomeCarriesListenersAndCountsFollowEveryChange) {
    auto first = listening(*relay_, link_);
    TestSocket broadcaster;
    ASSERT_TRUE(broadcaster.connect(relay_->wsUrl("/ws/send")));
    broadcaster.sendText(helloText(key_, link_));
    const auto welcome = parsed(broadcaster.nextOfType("welcome"));
    ASSERT_TRUE(welcome);
    EXPECT_EQ(json::integral(json::member(*welcome, "listeners")), 1);
    EXPECT_EQ(parsed(first->nextOfType("state")).value_or(boost::json::object{})["onAir"], true);

    auto count = [&] {
        const auto message = parsed(broadcaster.nextOfType("listeners"));
        return message ? json::integral(json::member(*message, "count")) : std::nullopt;
    };
    auto second = listening(*relay_, link_);
    EXPECT_EQ(count(), 2);
    second->close();
    EXPECT_EQ(count(), 1);
    first.reset();  // a listener that vanishes without a close frame
    EXPECT_EQ(count(), 0);

    // The REST listing sees the live count too.
    auto third = listening(*relay_, link_);
    EXPECT_EQ(count(), 1);
    const auto list = httpPost(url("/api/device/sessions/list"), jsonText("key", key_));
    EXPECT_NE(list.body.find(R"("listeners":1)"), std::string::npos) << list.body;
}

TEST_F(BroadcastTest, PingIsAnsweredWithTheSameTAndTheServerTime) {
    auto broadcaster = onAir(*relay_, key_, link_);
    broadcaster->sendText(R"({"type":"ping","t":1733.25})");
    const auto pong = parsed(broadcaster->nextOfType("pong"));
    ASSERT_TRUE(pong);
    EXPECT_EQ(json::number(json::member(*pong, "t")), 1733.25);
    const auto s = json::number(json::member(*pong, "s"));
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, relay_->clock().wallMs());
    // Pings without a numeric "t", and unknown types, are ignored; the connection stays.
    broadcaster->sendText(R"({"type":"ping","t":"1"})");
    broadcaster->sendText(R"({"type":"whatever"})");
    broadcaster->sendText("[not an object]");
    broadcaster->sendText(R"({"type":"ping","t":7})");
    const auto next = parsed(broadcaster->nextOfType("pong"));
    ASSERT_TRUE(next);
    EXPECT_EQ(json::number(json::member(*next, "t")), 7);
}

TEST_F(BroadcastTest, ASecondBroadcasterReplacesTheFirst) {
    auto listener = listening(*relay_, link_);
    auto first = onAir(*relay_, key_, link_);
    auto second = onAir(*relay_, key_, link_);
    EXPECT_TRUE(first->nextOfType("replaced"));
    EXPECT_EQ(first->waitClosed().kind, WsEvent::closed);
    // The listener hears the new one.
    second->sendBinary(testPacket(42));
    const auto packet = listener->nextBinary();
    ASSERT_TRUE(packet);
    const auto expected = testPacket(42);
    EXPECT_EQ(*packet, std::string(expected.begin(), expected.end()));
}

TEST_F(BroadcastTest, BusyCountsOtherComputersOnAir) {
    start([](relay::RelayServerOptions& options) { options.settings.maxOnAir = 1; });
    key_ = pairDevice(*relay_, kStudioPassword);
    const std::string otherKey = pairDevice(*relay_, kStudioPassword, "Studio B");
    const std::string firstLink = createLink(*relay_, key_);
    const std::string secondLink = createLink(*relay_, otherKey);
    auto first = onAir(*relay_, key_, firstLink);

    TestSocket refused;
    ASSERT_TRUE(refused.connect(relay_->wsUrl("/ws/send")));
    refused.sendText(helloText(otherKey, secondLink));
    const auto busy = parsed(refused.nextOfType("error"));
    ASSERT_TRUE(busy);
    EXPECT_EQ(json::string(json::member(*busy, "error")), "busy");
    EXPECT_EQ(json::integral(json::member(*busy, "max")), 1);
    EXPECT_EQ(refused.waitClosed().kind, WsEvent::closed);

    // The same computer on another link is not another computer; once the first goes, B may.
    auto sameComputer = onAir(*relay_, key_, secondLink);
    first.reset();
    sameComputer.reset();
    ASSERT_TRUE(RunningRelay::eventually([&] {
        TestSocket probe;
        if (!probe.connect(relay_->wsUrl("/ws/send"))) return false;
        probe.sendText(helloText(otherKey, secondLink));
        return probe.nextOfType("welcome").has_value();
    }));
}

TEST_F(BroadcastTest, EndingTheLinkReachesTheBroadcasterAndItsListeners) {
    auto listener = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    EXPECT_EQ(httpPost(url("/api/device/sessions/" + link_ + "/end"), jsonText("key", key_)).status, 200);
    EXPECT_TRUE(broadcaster->nextOfType("session_ended"));
    EXPECT_EQ(broadcaster->waitClosed().kind, WsEvent::closed);
    EXPECT_TRUE(listener->nextOfType("session_ended"));
    EXPECT_EQ(listener->waitClosed().kind, WsEvent::closed);
}

TEST_F(BroadcastTest, RevokingTheComputerFromAnotherProcessDisconnectsItNow) {
    auto listener = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    ASSERT_TRUE(listener->nextOfType("state"));  // on air
    const auto devices = relay::admin::listDevices(dir_.path());
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices.value().size(), 1u);
    ASSERT_TRUE(relay::admin::revokeDevice(dir_.path(), devices.value()[0].id));

    const auto error = parsed(broadcaster->nextOfType("error"));
    ASSERT_TRUE(error);
    EXPECT_EQ(json::string(json::member(*error, "error")), "revoked");
    EXPECT_EQ(broadcaster->waitClosed().kind, WsEvent::closed);
    const auto state = parsed(listener->nextOfType("state"));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->at("onAir"), false);
    EXPECT_EQ(httpPost(url("/api/device/sessions/list"), jsonText("key", key_)).status, 401);
}

TEST_F(BroadcastTest, HelloMustComeWithinTenSeconds) {
    TestSocket silent;
    ASSERT_TRUE(silent.connect(relay_->wsUrl("/ws/send")));
    silent.sendText(R"({"type":"ping","t":1})");  // not a hello: does not count
    relay_->clock().advance(std::chrono::milliseconds(9900));
    EXPECT_EQ(silent.next(std::chrono::milliseconds(150)).kind, WsEvent::timeout);
    relay_->clock().advance(std::chrono::milliseconds(200));
    const auto closed = silent.waitClosed();
    EXPECT_EQ(closed.kind, WsEvent::closed);
    EXPECT_EQ(closed.closeCode, 1008);
}

TEST_F(BroadcastTest, ThirtySecondsWithoutAMessageCloses) {
    auto listener = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    ASSERT_TRUE(listener->nextOfType("state"));  // on air
    // The listener speaks every few seconds, as it must to stay.
    const auto advance = [&](int seconds) {
        for (int step = 0; seconds > 0; seconds -= step) {
            step = std::min(seconds, 5);
            relay_->clock().advance(std::chrono::seconds(step));
            listener->sendText(R"({"type":"ping","t":1})");
            ASSERT_TRUE(listener->nextOfType("pong"));
        }
    };
    for (int i = 0; i < 3; ++i) {
        advance(29);
        broadcaster->sendBinary(testPacket(i));  // any message keeps it alive
        broadcaster->pump(std::chrono::milliseconds(60));
    }
    EXPECT_EQ(broadcaster->next(std::chrono::milliseconds(100)).kind, WsEvent::timeout);
    advance(25);
    relay_->clock().advance(std::chrono::seconds(5));  // 30 s since its last message
    const auto closed = broadcaster->waitClosed();
    EXPECT_EQ(closed.kind, WsEvent::closed);
    const auto state = parsed(listener->nextOfType("state"));
    ASSERT_TRUE(state);
    EXPECT_EQ(state->at("onAir"), false);
}

TEST_F(BroadcastTest, OversizedMessagesCloseWith1009) {
    {
        auto broadcaster = onAir(*relay_, key_, link_);
        broadcaster->sendBinary(std::vector<std::uint8_t>(16 * 1024, 0));  // at the limit: dropped as malformed
        broadcaster->sendText(R"({"type":"ping","t":1,"pad":")" + std::string(4096 - 30, ' ') + "\"}");
        EXPECT_TRUE(broadcaster->nextOfType("pong"));
        broadcaster->sendBinary(std::vector<std::uint8_t>(16 * 1024 + 1, 0));
        const auto closed = broadcaster->waitClosed();
        EXPECT_EQ(closed.kind, WsEvent::closed);
        EXPECT_EQ(closed.closeCode, 1009);
    }
    auto broadcaster = onAir(*relay_, key_, link_);
    broadcaster->sendText(R"({"type":"ping","t":1,"pad":")" + std::string(4096, ' ') + "\"}");
    const auto closed = broadcaster->waitClosed();
    EXPECT_EQ(closed.kind, WsEvent::closed);
    EXPECT_EQ(closed.closeCode, 1009);
}

}  // namespace
}  // namespace quorvel::test
