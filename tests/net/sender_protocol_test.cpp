// The sender against a loopback relay: handshake, server messages, failures, reconnection.
#include "sender_fixture.h"

#include "json/json.h"

namespace quorvel::test {
namespace {

using Records = WebSocketPeer::Record;

TEST_F(SenderTest, SaysHelloReportsConnectingThenConnectedAndPingsAtOnce) {
    startWith(welcome());
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "connected"}));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 1; }));

    const auto messages = peer.record().of(1);
    ASSERT_GE(messages.size(), 2u);
    const auto hello = json::parseObject(messages[0].data);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->size(), 3u);
    EXPECT_EQ(json::string(json::member(*hello, "type")), "hello");
    EXPECT_EQ(json::string(json::member(*hello, "key")), "device-key");
    EXPECT_EQ(json::string(json::member(*hello, "session")), "session-1");
    EXPECT_EQ(messages[1].type(), "ping");
    settle();
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "connected"}));  // no listener count
}

TEST_F(SenderTest, StartTwiceOpensOneConnection) {
    peer.answerHello(welcome());
    make(peer.url());
    sender->start();
    sender->start();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "connected"}));
    settle();
    EXPECT_EQ(peer.record().tcpConnections, 1);
    EXPECT_EQ(peer.record().count("hello"), 1);
}

TEST_F(SenderTest, WelcomeWithListenersReportsConnectedBeforeTheCount) {
    startWith(R"({"type":"welcome","listeners":2})");
    EXPECT_EQ(waitForEvents(3), (std::vector<std::string>{"connecting", "connected", "listeners 2"}));
}

TEST_F(SenderTest, MalformedAndForeignMessagesAreIgnoredAndReceivingGoesOn) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    for (const char* ignored : {
             R"({"type":"listeners","count":"3"})", R"({"type":"listeners","count":2.5})",
             R"({"type":"listeners","count":true})", R"({"type":"listeners"})", R"({"type":"listeners","count":1e19})",
             "not json", "[1,2,3]", R"(["type","welcome"])", "", R"({"count":3})", R"({"type":7,"count":3})",
             R"({"type":"noise"})", R"({"type":"error","error":"mystery"})", R"({"type":"error"})",
             R"({"type":"error","error":5})", R"({"type":"pong","t":"1","s":2})", R"({"type":"pong","s":2})",
             R"({"type":"LISTENERS","count":3})", R"({"type":"listeners","count":3,)",
             R"({"type":"listeners","count":-1})"}) {
        peer.sendText(ignored);
    }
    peer.sendText(R"({"type":"listeners","count":4.0})");
    peer.sendText(listeners(0));
    EXPECT_EQ(waitForEvents(4), (std::vector<std::string>{"connecting", "connected", "listeners 4", "listeners 0"}));
    settle();
    EXPECT_EQ(events().size(), 4u);
    EXPECT_EQ(peer.record().upgrades, 1);
}

struct Refusal {
    const char* name;
    std::string reply;
    std::vector<std::string> events;  // after "connecting"
};

class RefusalTest : public SenderTest, public ::testing::WithParamInterface<Refusal> {};

// The server refuses and closes; nothing reconnects, the last report stays.
TEST_P(RefusalTest, ReportsItsTextCallsItsCallbackAndStaysDown) {
    peer.answerHello(GetParam().reply, true);
    make(peer.url());
    sender->start();
    std::vector<std::string> expected{"connecting"};
    expected.insert(expected.end(), GetParam().events.begin(), GetParam().events.end());
    EXPECT_EQ(waitForEvents(expected.size()), expected);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.closed == 1; }));
    settle();
    timers.advance(60s);
    settle();
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(peer.record().tcpConnections, 1);
    EXPECT_FALSE(timers.nextDelay());
}

INSTANTIATE_TEST_SUITE_P(
    Sender, RefusalTest,
    ::testing::Values(
        Refusal{"auth", R"({"type":"error","error":"auth"})", {"failed(" + Sender::revokedText + ")", "revoked"}},
        Refusal{"revoked", R"({"type":"error","error":"revoked"})", {"failed(" + Sender::revokedText + ")", "revoked"}},
        Refusal{"session", R"({"type":"error","error":"session"})",
                {"failed(" + Sender::sessionNotFoundText + ")", "session ended"}},
        Refusal{"replaced", R"({"type":"replaced"})", {"failed(" + Sender::replacedText + ")"}},
        Refusal{"sessionEnded", R"({"type":"session_ended"})", {"off", "session ended"}}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(SenderTexts, AreTheUsersOwn) {
    EXPECT_EQ(Sender::revokedText, "Компьютер отключён в админке — подключите его заново");
    EXPECT_EQ(Sender::sessionNotFoundText, "Session not found — choose another session");
    EXPECT_EQ(Sender::replacedText, "К серверу подключилась другая студия");
    EXPECT_EQ(Sender::busyText(3), "Сейчас в эфире уже 3 компьютера — жду, когда освободится место");
}

TEST_F(SenderTest, BusyKeepsTryingWithTheBusyTextUntilWelcome) {
    peer.answerHello(R"({"type":"error","error":"busy"})", true);
    make(peer.url());
    sender->start();
    const std::string busy3 = failed(Sender::busyText(3));
    // The refusal, then the loss re-reports it.
    EXPECT_EQ(waitForEvents(3), (std::vector<std::string>{"connecting", busy3, busy3}));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));

    peer.answerHello(R"({"type":"error","error":"busy","max":2})", true);
    timers.advance(1s);
    const std::string busy2 = failed(Sender::busyText(2));
    EXPECT_EQ(waitForEvents(6), (std::vector<std::string>{"connecting", busy3, busy3, "reconnecting", busy2, busy2}));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(2s));

    peer.answerHello(welcome());
    timers.advance(2s);
    EXPECT_EQ(waitForEvents(8), (std::vector<std::string>{"connecting", busy3, busy3, "reconnecting", busy2, busy2,
                                                          "reconnecting", "connected"}));
    // A loss after "welcome" is an ordinary loss again, retried after 1 s.
    peer.close();
    ASSERT_TRUE(waitForEvent("reconnecting", 3));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));
}

TEST_F(SenderTest, BusyWithAFloatMaxOrWithoutAnIntegerMaxNamesItsNumber) {
    peer.answerHello(R"({"type":"error","error":"busy","max":5.0})");
    make(peer.url());
    sender->start();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", failed(Sender::busyText(5))}));
    peer.sendText(R"({"type":"error","error":"busy","max":"7"})");
    EXPECT_EQ(waitForEvents(3).back(), failed(Sender::busyText(3)));
}

TEST_F(SenderTest, ConsecutiveFailuresBackOffUpToTenSeconds) {
    peer.answerHello(R"({"type":"noise"})", true);  // refused without a word
    make(peer.url());
    sender->start();
    ASSERT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"}));
    int connections = 1;
    for (const auto delay : {1s, 2s, 4s, 8s, 10s, 10s}) {
        settle();
        EXPECT_EQ(timers.nextDelay(), Duration(delay)) << "after " << connections << " connections";
        timers.advance(delay - 1ms);
        settle();
        EXPECT_EQ(peer.record().tcpConnections, connections);
        timers.advance(1ms);
        ++connections;
        // Opening reports "reconnecting", and so does its loss.
        ASSERT_TRUE(waitForEvent("reconnecting", static_cast<std::size_t>(2 * connections - 1)));
        ASSERT_TRUE(peer.waitFor([&](const Records& r) { return r.closed == connections; }));
    }
    EXPECT_EQ(peer.record().count("hello"), connections);
}

TEST_F(SenderTest, AFailureAfterWelcomeWaitsOneSecond) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    peer.drop();  // no close frame
    EXPECT_EQ(waitForEvents(3), (std::vector<std::string>{"connecting", "connected", "reconnecting"}));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));
    timers.advance(1s);
    EXPECT_EQ(waitForEvents(5),
              (std::vector<std::string>{"connecting", "connected", "reconnecting", "reconnecting", "connected"}));
    EXPECT_EQ(peer.record().count("hello"), 2);
}

TEST_F(SenderTest, AnUnwelcomedConnectionClosedByTheServerReportsReconnecting) {
    peer.answerHello(std::nullopt);
    make(peer.url());
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 1; }));
    peer.close();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"}));
}

TEST_F(SenderTest, StopCancelsAPendingReconnection) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    peer.close();
    ASSERT_TRUE(waitForEvent("reconnecting"));
    sender->stop();
    ASSERT_TRUE(waitForEvent("off"));
    settle();
    timers.advance(60s);
    settle();
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "connected", "reconnecting", "off"}));
    EXPECT_EQ(peer.record().tcpConnections, 1);
}

TEST_F(SenderTest, StopClosesWithANormalCloseAndReportsOff) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    sender->stop();
    ASSERT_TRUE(waitForEvent("off"));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.closed == 1; }));
    EXPECT_EQ(peer.record().closeCodes, (std::vector<int>{1000}));
    settle();
    timers.advance(60s);
    settle();
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "connected", "off"}));
    // Released right after stop(): the close still completes and the sender goes away.
}

TEST_F(SenderTest, StopThenStartAgainConnectsAfresh) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    sender->stop();
    sender->start();
    ASSERT_TRUE(waitForEvent("connected", 2));
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "connected", "off", "connecting", "connected"}));
    EXPECT_EQ(peer.record().count("hello"), 2);
}

// After "session_ended" the server has not closed yet when the owner starts again: the
// old connection is dropped, and its failing receive must not count as a loss.
TEST_F(SenderTest, TheEndOfAReplacedConnectionChangesNothing) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    peer.sendText(R"({"type":"session_ended"})");
    ASSERT_TRUE(waitForEvent("session ended"));
    sender->start();
    ASSERT_TRUE(waitForEvent("connected", 2));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.closed == 1; }));
    settle();
    peer.sendText(listeners(1));  // the new connection still works
    EXPECT_EQ(waitForEvents(7), (std::vector<std::string>{"connecting", "connected", "off", "session ended",
                                                          "connecting", "connected", "listeners 1"}));
    EXPECT_EQ(timers.nextDelay(), Duration(2s));  // the next ping; no reconnection is pending
}

TEST_F(SenderTest, CallbacksStopWithTheSender) {
    startWith(R"({"type":"welcome","listeners":1})");
    ASSERT_TRUE(waitForEvent("listeners 1"));
    const std::size_t before = events().size();
    peer.sendText(listeners(5));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") >= 1; }));
    release();
    EXPECT_LE(events().size(), before + 1);
}

}  // namespace
}  // namespace quorvel::test
