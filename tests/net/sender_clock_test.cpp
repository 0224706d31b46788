// Pings and the server clock offset, on a virtual wall clock and virtual timers.
#include "sender_fixture.h"

#include "json/json.h"

namespace quorvel::test {
namespace {

using Records = WebSocketPeer::Record;

std::string pong(double t, double s) {
    return R"({"type":"pong","t":)" + std::to_string(t) + R"(,"s":)" + std::to_string(s) + "}";
}

class SenderClockTest : public SenderTest {
protected:
    // Sends `text`, then a listener count, and waits for the count: by then `text` was handled.
    void deliver(const std::string& text) {
        peer.sendText(text);
        peer.sendText(listeners(++marker_));
        ASSERT_TRUE(waitForEvent("listeners " + std::to_string(marker_)));
    }

    double serverNowAt(double local) {
        wallClock = local;
        return sender->serverNowMs();
    }

    std::vector<double> pingTimes(int connection) {
        std::vector<double> times;
        for (const auto& message : peer.record().of(connection))
            if (message.type() == "ping")
                times.push_back(*json::number(json::member(*json::parseObject(message.data), "t")));
        return times;
    }

private:
    int marker_ = 100;
};

TEST_F(SenderClockTest, PingsRunFromWelcomeEveryTwoSecondsUntilTheConnectionEnds) {
    peer.answerHello(std::nullopt);
    make(peer.url(), {}, true);
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 1; }));
    timers.advance(10s);  // not welcomed: no ping
    settle();

    wallClock = 5000;
    deliver(welcome());
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 1; }));

    wallClock = 6000;
    timers.advance(2s - 1ms);
    settle();
    sender->send(packet(40, 1));  // travels behind any ping sent so far
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 1; }));
    EXPECT_EQ(pingTimes(1), (std::vector<double>{5000}));

    timers.advance(1ms);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 2; }));
    wallClock = 8000;
    timers.advance(2s);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 3; }));
    EXPECT_EQ(pingTimes(1), (std::vector<double>{5000, 6000, 8000}));

    peer.close();
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();  // the retry is scheduled
    timers.advance(1s);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 2; }));
    wallClock = 9000;
    timers.advance(10s);  // not welcomed yet: no ping
    settle();
    deliver(welcome());
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 4; }));
    EXPECT_EQ(pingTimes(2), (std::vector<double>{9000}));  // nothing from the old connection's timer
}

TEST_F(SenderClockTest, OffsetComesFromTheFastestRecentRoundTripAndSurvivesAReconnection) {
    peer.answerHello(welcome());
    make(peer.url(), {}, true);
    sender->start();
    ASSERT_TRUE(waitForEvent("connected"));
    EXPECT_EQ(serverNowAt(1234.5), 1234.5);  // no pong yet: the local clock

    wallClock = 1100;
    deliver(pong(1000, 5050));  // rtt 100, offset 4000
    EXPECT_EQ(serverNowAt(2000), 6000);

    wallClock = 11000;
    deliver(pong(1000, 99999));  // rtt 10000: discarded
    wallClock = 900;
    deliver(pong(1000, 99999));  // negative rtt: discarded
    EXPECT_EQ(serverNowAt(2000), 6000);

    wallClock = 10999.9;
    deliver(pong(1000, 99999));  // accepted, but slower than the sample in force
    EXPECT_EQ(serverNowAt(2000), 6000);

    wallClock = 1050;
    deliver(pong(1000, 3025));  // rtt 50, offset 2000
    EXPECT_EQ(serverNowAt(2000), 4000);

    peer.drop();
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();  // the retry is scheduled
    EXPECT_EQ(serverNowAt(2000), 4000);  // the old offset stays in force
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 2));
    EXPECT_EQ(serverNowAt(2000), 4000);

    wallClock = 1500;
    deliver(pong(1000, 8250));  // rtt 500, the first of the new window: offset 7000
    EXPECT_EQ(serverNowAt(2000), 9000);
}

TEST_F(SenderClockTest, PongsBeforeWelcomeCountToo) {
    peer.answerHello(std::nullopt);
    make(peer.url(), {}, true);
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 1; }));
    wallClock = 1010;
    deliver(pong(1000, 2005));  // rtt 10, offset 1000
    EXPECT_EQ(serverNowAt(3000), 4000);
}

}  // namespace
}  // namespace quorvel::test
