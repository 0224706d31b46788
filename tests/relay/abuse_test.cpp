// One address, or one guesser, must not shut the relay to everyone else.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

class AbuseTest : public LinkFixture {
protected:
    AbuseTest() : LinkFixture(1) {}

    // Whether a plain request from `from` is answered.
    bool servedFrom(const std::string& from) const {
        RawConnection connection(relay_->port(), from);
        connection.send("POST /api/device/sessions/list HTTP/1.1\r\nHost: a\r\nConnection: close\r\n"
                        "Content-Length: 2\r\n\r\n{}");
        bool closed = false;
        return connection.readUntilClosed(std::chrono::seconds(3), closed).starts_with("HTTP/1.1 401");
    }
};

TEST_F(AbuseTest, WrongLinkPasswordsFromOneAddressAreRefusedForFifteenMinutes) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "wrong")), "password") << i;
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "wrong")), "too_many_attempts");
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "listen")), "too_many_attempts");
    relay_->clock().advance(std::chrono::minutes(15));
    EXPECT_TRUE(listening(*relay_, link_));
}

TEST_F(AbuseTest, WrongPasswordsForOneLinkFromEverywhereCloseOnlyThatLink) {
    start([](relay::RelayServerOptions& options) { options.settings.listenAddressLimits.maxFailures = 1000; });
    const std::string other = createLink(*relay_, key_, "other", 1);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "guess")), "password") << i;
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "listen")), "too_many_attempts");
    EXPECT_TRUE(listening(*relay_, other, "other"));
}

TEST_F(AbuseTest, TheLinkIsFullOnlyForThoseWithItsPassword) {
    auto first = listening(*relay_, link_);
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "wrong")), "password");
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "listen")), "full");
}

TEST_F(AbuseTest, OneAddressHoldsAtMostSixtyFourConnections) {
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<RawConnection>(relay_->port()));
    RawConnection refused(relay_->port());
    bool closed = false;
    EXPECT_EQ(refused.readUntilClosed(std::chrono::seconds(3), closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(servedFrom("127.0.0.2"));

    idle.pop_back();
    EXPECT_TRUE(RunningRelay::eventually([&] { return servedFrom("127.0.0.1"); }));
}

// Behind a reverse proxy every connection comes from the proxy: its clients are told
// apart by the X-Forwarded-For it appends to, and it is not capped itself.
TEST_F(AbuseTest, BehindATrustedProxyClientsAreToldApart) {
    start([](relay::RelayServerOptions& options) { options.web.trustedProxy = "127.0.0.1"; });
    const auto pairFrom = [&](const std::string& client) {
        RawConnection connection(relay_->port());
        const std::string body = R"({"password":"wrong","name":"x"})";
        connection.send("POST /api/pair HTTP/1.1\r\nHost: a\r\nConnection: close\r\nX-Forwarded-For: 10.9.9.9, " +
                        client + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        bool closed = false;
        return connection.readUntilClosed(std::chrono::seconds(3), closed).substr(0, 12);
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pairFrom("10.0.0.1"), "HTTP/1.1 401") << i;
    EXPECT_EQ(pairFrom("10.0.0.1"), "HTTP/1.1 429");
    EXPECT_EQ(pairFrom("10.0.0.2"), "HTTP/1.1 401");

    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<RawConnection>(relay_->port()));
    EXPECT_TRUE(servedFrom("127.0.0.1"));
}

TEST_F(AbuseTest, TheLogOfAFloodStaysShort) {
    for (int i = 0; i < 150; ++i) {  // two lines each: opened, closed
        TestSocket socket;
        ASSERT_TRUE(socket.connect(relay_->wsUrl("/ws/listen")));
        socket.close();
    }
    ASSERT_TRUE(RunningRelay::eventually([&] { return relay_->logLines().size() >= 200; }));
    EXPECT_EQ(relay_->logLines().size(), 200u);  // the clock stands still: the burst, no more
    relay_->clock().advance(std::chrono::seconds(1));
    EXPECT_TRUE(listening(*relay_, link_));
    const auto lines = relay_->logLines();
    ASSERT_GT(lines.size(), 201u);
    EXPECT_NE(lines[200].find("log lines dropped"), std::string::npos) << lines[200];
}

}  // namespace
}  // namespace quorvel::test
