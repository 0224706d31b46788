// One address, or one guesser, must not shut the relay to everyone else.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "json/json.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

class AbuseTest : public LinkFixture {
protected:
    AbuseTest() : LinkFixture(1) {}

    std::size_t closedListeners() const {
        const auto lines = relay_->logLines();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("listen #") && line.find(" closed: ") != std::string::npos;
        }));
    }

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

// Six addresses guess thirty times: the link is shut to them, not to others with the
// password. Whoever comes without failures is checked one at a time, and after a wrong
// guess nobody for 30 s ("busy": the page asks again), so guesses stay bounded.
TEST_F(AbuseTest, GuessersShutALinkOnlyForThemselves) {
    const auto answer = [&](int host, const std::string& password) {
        const auto text = listenFrom(*relay_, "127.0.0." + std::to_string(host), listenText(link_, password));
        return memberOf(text, "type") == "ready" ? "ready" : memberOf(text, "error");
    };
    for (int host = 2; host <= 7; ++host)
        for (int i = 0; i < 5; ++i) ASSERT_EQ(answer(host, "guess"), "password");
    EXPECT_EQ(answer(2, "listen"), "too_many_attempts");
    EXPECT_EQ(answer(8, "listen"), "ready");
    EXPECT_EQ(answer(9, "listen"), "ready");
    EXPECT_EQ(answer(10, "guess"), "password");
    EXPECT_EQ(answer(11, "guess"), "busy");
    EXPECT_EQ(answer(11, "listen"), "busy");
    relay_->clock().advance(30s);
    EXPECT_EQ(answer(11, "listen"), "ready");
}

// A page that reconnects shows the token of its last join instead of having its password
// checked again; a token is good once, and for ten minutes after its listener left.
TEST_F(AbuseTest, AListenerComesBackWithItsResumeToken) {
    const auto join = [&](const std::string& text) {
        auto socket = std::make_unique<TestSocket>();
        EXPECT_TRUE(socket->connect(relay_->wsUrl("/ws/listen")));
        socket->sendText(text);
        const std::string token = memberOf(socket->nextOfType("ready"), "resume");
        const auto closedBefore = closedListeners();
        socket->close();
        EXPECT_TRUE(RunningRelay::eventually([&] { return closedListeners() > closedBefore; }));
        return token;
    };
    const auto resumeText = [&](const std::string& token) {
        return json::serialize(boost::json::object{{"type", "listen"}, {"session", link_}, {"resume", token}});
    };
    const std::string first = join(listenText(link_, "listen"));
    ASSERT_FALSE(first.empty());
    const std::string second = join(resumeText(first));  // no password at all
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(refusal(*relay_, "/ws/listen", resumeText(first)), "password");  // used up
    relay_->clock().advance(10min);
    EXPECT_EQ(refusal(*relay_, "/ws/listen", resumeText(second)), "password");  // expired
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

    EXPECT_TRUE(RunningRelay::eventually([&] {
        const auto lines = relay_->logLines();
        return std::count(lines.begin(), lines.end(), "connection from 127.0.0.1 refused: 64 connections from 127.0.0.1");
    }));

    idle.pop_back();
    EXPECT_TRUE(RunningRelay::eventually([&] { return servedFrom("127.0.0.1"); }));
}

// Past half of all connections an address holding an eighth of its cap gets no more:
// two addresses cannot fill the relay.
TEST_F(AbuseTest, AFewAddressesCannotTakeEveryConnection) {
    start([](relay::RelayServerOptions& options) {
        options.web.maxConnections = 32;
        options.web.maxConnectionsPerAddress = 16;
    });
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (const char* from : {"127.0.0.2", "127.0.0.3"})
        for (int i = 0; i < 16; ++i) idle.push_back(std::make_unique<RawConnection>(relay_->port(), from));
    EXPECT_FALSE(servedFrom("127.0.0.3"));
    EXPECT_TRUE(servedFrom("127.0.0.4"));
}

// Behind a reverse proxy every connection comes from the proxy: its clients are told
// apart by the X-Forwarded-For it appends to, IPv6 clients by their /64, IPv4-mapped
// addresses as IPv4, also when the relay listens on both (the proxy as ::ffff:127.0.0.1).
TEST_F(AbuseTest, BehindATrustedProxyClientsAreToldApart) {
    for (const char* listen : {"127.0.0.1", "::"}) {
        SCOPED_TRACE(listen);
        start([listen](relay::RelayServerOptions& options) {
            options.web.address = listen;
            options.web.trustedProxy = "::ffff:127.0.0.1";
        });
        const auto pairFrom = [&](const std::string& client) {
            RawConnection connection(relay_->port());
            const std::string body = R"({"password":"wrong","name":"x"})";
            connection.send("POST /api/pair HTTP/1.1\r\nHost: a\r\nConnection: close\r\nX-Forwarded-For: 10.9.9.9, " +
                            client + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            bool closed = false;
            return connection.readUntilClosed(std::chrono::seconds(3), closed).substr(0, 12);
        };
        for (int i = 0; i < 5; ++i) EXPECT_EQ(pairFrom("10.0.0.1"), "HTTP/1.1 401") << i;
        EXPECT_EQ(pairFrom("::ffff:10.0.0.1"), "HTTP/1.1 429");
        EXPECT_EQ(pairFrom("10.0.0.2"), "HTTP/1.1 401");
        for (int i = 1; i <= 5; ++i) EXPECT_EQ(pairFrom("2001:db8:1:2::" + std::to_string(i)), "HTTP/1.1 401") << i;
        EXPECT_EQ(pairFrom("2001:db8:1:2:ffff::99"), "HTTP/1.1 429");
        EXPECT_EQ(pairFrom("2001:db8:1:3::1"), "HTTP/1.1 401");
        EXPECT_EQ(pairFrom("not an address"), "HTTP/1.1 400");

        std::vector<std::unique_ptr<RawConnection>> idle;
        for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<RawConnection>(relay_->port()));
        EXPECT_TRUE(servedFrom("127.0.0.1"));
    }
    TempDir dir;
    relay::RelayServerOptions options;
    options.dataDir = dir.path();
    options.web.port = 0;
    options.web.trustedProxy = "not-an-address";
    const auto refused = relay::RelayServer::create(options);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("--trusted-proxy"), std::string::npos) << refused.error();
}

TEST_F(AbuseTest, TheLogOfAFloodStaysShort) {
    for (int i = 0; i < 150; ++i) {  // two lines each: opened, closed
        TestSocket socket;
        ASSERT_TRUE(socket.connect(relay_->wsUrl("/ws/listen")));
        socket.close();
    }
    // The clock stands still: the burst of connection events, no more, and the set-up's pairing.
    ASSERT_TRUE(RunningRelay::eventually([&] { return relay_->logLines().size() >= 201; }));
    EXPECT_EQ(relay_->logLines().size(), 201u);
    // Security events have a bucket of their own.
    pairDevice(*relay_, kStudioPassword);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(httpPost(url("/api/pair"), R"({"password":"wrong","name":"x"})").status, 401);
    const auto during = relay_->logLines();
    EXPECT_EQ(std::count_if(during.begin(), during.end(),
                            [](const std::string& line) { return line.starts_with("paired device "); }),
              2);
    EXPECT_EQ(std::count(during.begin(), during.end(), "pair refused: wrong studio password from 127.0.0.1"), 5);

    relay_->clock().advance(std::chrono::seconds(1));
    EXPECT_TRUE(RunningRelay::eventually([&] {
        const auto lines = relay_->logLines();
        return std::any_of(lines.begin() + 200, lines.end(), [](const std::string& line) {
            return line.find(" connection log lines dropped: too many; the last: listen #") != std::string::npos;
        });
    }));
}

}  // namespace
}  // namespace quorvel::test
