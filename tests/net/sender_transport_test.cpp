// The sender's transport: hostile server input, silent servers, bad addresses, TLS.
#include "sender_fixture.h"

#include "support/test_certificates.h"

namespace quorvel::test {
namespace {

using Records = WebSocketPeer::Record;

TEST_F(SenderTest, OversizedOrInvalidFramesCostTheConnectionNotTheSender) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));

    // Longer than any control message may be: the connection fails and is retried.
    peer.sendText(R"({"type":"listeners","count":1,"pad":")" + std::string(2 * 1024 * 1024, 'x') + "\"}");
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();  // the retry is scheduled
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 2));

    // A text frame that is not UTF-8 breaks the WebSocket rules: same outcome.
    peer.sendText("{\"type\":\"listeners\",\"count\":1,\"x\":\"\xff\xfe\xc0\x80\"}");
    ASSERT_TRUE(waitForEvent("reconnecting", 3));
    settle();  // the retry is scheduled
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 3));

    peer.sendText(listeners(8));
    ASSERT_TRUE(waitForEvent("listeners 8"));
    const auto all = events();
    EXPECT_EQ(std::count(all.begin(), all.end(), "listeners 1"), 0);
}

TEST_F(SenderTest, DeepJsonAndBinaryFramesFromTheServerAreIgnored) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    const std::string deep = std::string(20000, '[') + std::string(20000, ']');
    peer.sendText(R"({"type":"listeners","count":)" + deep + "}");
    peer.sendText(deep);
    peer.sendText(R"({"type":"listeners","count":2,"x":)" + std::string(5000, '{') + "}");
    peer.sendBinary(listeners(3));
    peer.sendBinary(std::string(60000, '\0'));
    peer.sendText(listeners(4));
    EXPECT_EQ(waitForEvents(3), (std::vector<std::string>{"connecting", "connected", "listeners 4"}));
    EXPECT_EQ(peer.record().upgrades, 1);
}

TEST_F(SenderTest, AServerThatNeverAnswersTheUpgradeDoesNotHoldUpStop) {
    peer.setSilent(true);
    make(peer.url());
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.tcpConnections == 1; }));
    sender->stop();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "off"}));
    const auto began = std::chrono::steady_clock::now();
    release();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
}

TEST_F(SenderTest, AnUpgradeThatNeverCompletesIsALoss) {
    peer.setSilent(true);
    WebSocketOptions webSocket;
    webSocket.handshakeTimeout = 200ms;
    make(peer.url(), webSocket);
    sender->start();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"}));
}

// The relay takes the upgrade and the hello, then says nothing: no "welcome" within
// 11 s of opening is a loss, however chatty the relay is meanwhile.
TEST_F(SenderTest, NoWelcomeWithinElevenSecondsIsALoss) {
    peer.answerHello(std::nullopt);
    make(peer.url());
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 1; }));
    peer.sendText(listeners(1));
    ASSERT_TRUE(waitForEvent("listeners 1"));
    timers.advance(11s - 1ms);
    settle();
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "listeners 1"}));
    timers.advance(1ms);
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));  // the back-off of any loss
    timers.advance(1s);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 2; }));
    ASSERT_TRUE(waitForEvent("reconnecting", 2));
}

// A welcomed connection that falls silent (a dead route fails nothing for minutes):
// six seconds after the last word it is lost and retried.
TEST_F(SenderTest, SixSecondsWithoutAWordAfterWelcomeIsALoss) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    timers.advance(4s);
    peer.sendText(listeners(3));  // any message restarts the count
    ASSERT_TRUE(waitForEvent("listeners 3"));
    timers.advance(6s - 1ms);
    settle();
    EXPECT_EQ(events(), (std::vector<std::string>{"connecting", "connected", "listeners 3"}));
    EXPECT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 5; }));  // 0, 2, 4, 6, 8 s: unanswered

    timers.advance(1ms);
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 2));
    EXPECT_EQ(peer.record().upgrades, 2);
}

TEST_F(SenderTest, UnusableAddressesAreLossesAndRetried) {
    for (const std::string url : {"not a url", "http://127.0.0.1:1/ws/send", "ws://127.0.0.1:1/ws/send", "ws:///x"}) {
        make(url);
        sender->start();
        EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"})) << url;
        settle();
        EXPECT_EQ(timers.nextDelay(), Duration(1s)) << url;
        sender->stop();
        ASSERT_TRUE(waitForEvent("off"));
        release();
        clearEvents();
    }
}

TEST(SenderAddresses, AnIpv6LiteralIsReached) {
    WebSocketPeer::Options options;
    options.address = "::1";
    std::unique_ptr<WebSocketPeer> peer;
    try {
        peer = std::make_unique<WebSocketPeer>(options);
    } catch (const std::exception&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    peer->answerHello(welcome());
    SerialQueue main("test.main");
    Config config;
    config.serverURL = peer->url();
    ASSERT_EQ(config.serverURL.rfind("ws://[::1]:", 0), 0u);
    auto sender = Sender::create(config, "k", "s", main.executor());
    sender->start();
    EXPECT_TRUE(peer->waitFor([](const WebSocketPeer::Record& r) { return r.count("hello") == 1; }));
    sender->stop();
    release(sender);
}

class SenderTlsTest : public SenderTest {
protected:
    static WebSocketPeer::Options serving(const std::string& cert, const std::string& key) {
        WebSocketPeer::Options options;
        options.certFile = cert;
        options.keyFile = key;
        return options;
    }

    void expectRefused(WebSocketPeer& server, const std::string& url, std::optional<std::string> caFile) {
        WebSocketOptions webSocket;
        webSocket.extraCaFile = std::move(caFile);
        make(url, webSocket);
        sender->start();
        EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"}));
        EXPECT_TRUE(server.waitFor([](const Records& r) { return r.tlsFailures >= 1; }));
        EXPECT_EQ(server.record().upgrades, 0);
        settle();
        EXPECT_EQ(timers.nextDelay(), Duration(1s));  // retried like any loss
    }

    void expectAccepted(WebSocketPeer& server, const std::string& url, const std::string& caFile) {
        WebSocketOptions webSocket;
        webSocket.extraCaFile = caFile;
        make(url, webSocket);
        sender->start();
        EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "connected"}));
        EXPECT_EQ(server.record().count("hello"), 1);
    }

    static const TestCertificates& certificates() {
        static const TestCertificates made;
        return made;
    }
};

TEST_F(SenderTlsTest, ASelfSignedServerIsRefused) {
    ASSERT_TRUE(certificates().ok);
    WebSocketPeer server(serving(certificates().selfSignedCert, certificates().selfSignedKey));
    server.answerHello(welcome());
    expectRefused(server, server.url(), std::nullopt);
    release();
}

TEST_F(SenderTlsTest, APrivateCaServerIsRefusedUntilItsCaIsConfigured) {
    ASSERT_TRUE(certificates().ok);
    WebSocketPeer server(serving(certificates().serverCert, certificates().serverKey));
    server.answerHello(welcome());
    expectRefused(server, server.url(), std::nullopt);
    release();
    clearEvents();
    expectAccepted(server, server.url(), certificates().caFile);
    release();
    EXPECT_EQ(server.record().serverNames.back(), "");  // no SNI for an address literal
}

TEST_F(SenderTlsTest, TheHostNameIsCheckedAndSentAsSni) {
    ASSERT_TRUE(certificates().ok);
    WebSocketPeer server(serving(certificates().serverCert, certificates().serverKey));
    server.answerHello(welcome());
    expectAccepted(server, server.url("localhost"), certificates().caFile);
    release();
    EXPECT_EQ(server.record().serverNames.back(), "localhost");

    WebSocketPeer other(serving(certificates().otherHostCert, certificates().otherHostKey));
    other.answerHello(welcome());
    clearEvents();
    expectRefused(other, other.url("localhost"), certificates().caFile);
    release();
}

TEST_F(SenderTlsTest, AnUnreadableCaFileFailsTheConnection) {
    ASSERT_TRUE(certificates().ok);
    WebSocketPeer server(serving(certificates().serverCert, certificates().serverKey));
    server.answerHello(welcome());
    make(server.url(), WebSocketOptions{certificates().dir + "/missing.pem"});
    sender->start();
    EXPECT_EQ(waitForEvents(2), (std::vector<std::string>{"connecting", "reconnecting"}));
    EXPECT_EQ(server.record().upgrades, 0);
}

}  // namespace
}  // namespace quorvel::test
