#include <gtest/gtest.h>

#include "relay/admin.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

class RobustnessTest : public RelayFixture {
protected:
    std::uint16_t port() const {
        const std::string base = relay_->httpBase();
        return static_cast<std::uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
    }
    bool stillServing() const { return httpPost(url("/api/device/sessions/list"), "{}").status == 401; }
};

TEST_F(RobustnessTest, APartialRequestIsCutOffAfterTenSecondsWhileOthersAreServed) {
    RawConnection slowloris(port());
    ASSERT_TRUE(slowloris.connected());
    ASSERT_TRUE(slowloris.send("POST /api/pair HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{\"pass"));
    EXPECT_TRUE(stillServing());
    bool closed = false;
    relay_->clock().advance(std::chrono::seconds(9));
    slowloris.readUntilClosed(std::chrono::milliseconds(150), closed);
    EXPECT_FALSE(closed);
    relay_->clock().advance(std::chrono::seconds(2));
    slowloris.readUntilClosed(std::chrono::seconds(3), closed);
    EXPECT_TRUE(closed);

    // A connection that never sends a byte goes the same way.
    RawConnection idle(port());
    EXPECT_TRUE(stillServing());  // answered after the idle connection was taken in
    relay_->clock().advance(std::chrono::seconds(11));
    idle.readUntilClosed(std::chrono::seconds(3), closed);
    EXPECT_TRUE(closed);
}

TEST_F(RobustnessTest, GarbageAndOversizedHeadersGetAClearStatus) {
    RawConnection garbage(port());
    garbage.send("\x16\x03\x01 this is not HTTP\r\n\r\n");
    bool closed = false;
    const std::string answer = garbage.readUntilClosed(std::chrono::seconds(3), closed);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 400")) << answer;
    EXPECT_TRUE(closed);

    RawConnection headers(port());
    headers.send("GET /l/x HTTP/1.1\r\nHost: a\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n");
    const std::string tooLarge = headers.readUntilClosed(std::chrono::seconds(3), closed);
    EXPECT_TRUE(tooLarge.starts_with("HTTP/1.1 431")) << tooLarge.substr(0, 40);

    RawConnection chunked(port());
    std::string request = "POST /api/pair HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 80; ++i) request += "400\r\n" + std::string(1024, 'x') + "\r\n";
    chunked.send(request);
    const std::string chunkedAnswer = chunked.readUntilClosed(std::chrono::seconds(3), closed);
    EXPECT_TRUE(chunkedAnswer.starts_with("HTTP/1.1 413")) << chunkedAnswer.substr(0, 40);
    EXPECT_TRUE(stillServing());
}

TEST_F(RobustnessTest, RequestsOnOneKeptAliveConnectionAreAnsweredInTurn) {
    RawConnection connection(port());
    const std::string one = "POST /nowhere HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\n{}";
    connection.send(one + one + "POST /nowhere HTTP/1.1\r\nHost: a\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}");
    bool closed = false;
    const std::string answers = connection.readUntilClosed(std::chrono::seconds(3), closed);
    std::size_t count = 0;
    for (auto at = answers.find("HTTP/1.1 404"); at != std::string::npos; at = answers.find("HTTP/1.1 404", at + 1))
        ++count;
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(closed);
}

TEST_F(RobustnessTest, FloodsOfMessagesLeaveTheRelayHealthy) {
    const std::string key = pairDevice(*relay_, kStudioPassword);
    const std::string link = createLink(*relay_, key);
    auto listener = listening(*relay_, link);
    {
        auto broadcaster = onAir(*relay_, key, link);
        // Pings it never reads the answers of, and junk of every kind.
        for (int i = 0; i < 5000; ++i) {
            broadcaster->sendText(R"({"type":"ping","t":1})");
            broadcaster->sendText("{{{{");
            broadcaster->sendBinary(std::vector<std::uint8_t>(100, 0xFF));
        }
        broadcaster->pump(std::chrono::milliseconds(500));
        // Either it is still connected (the answers fit in the socket buffers) or it was
        // cut off for not reading them (1008): both keep the relay's memory bounded.
        broadcaster->sendText(R"({"type":"ping","t":2})");
        const auto pongOrClose = broadcaster->nextOfType("pong", std::chrono::seconds(5));
        if (!pongOrClose) {
            EXPECT_EQ(broadcaster->waitClosed().closeCode, 1008);
        }
    }
    // Hello floods before authentication are just as harmless.
    {
        TestSocket stranger;
        ASSERT_TRUE(stranger.connect(relay_->wsUrl("/ws/send")));
        for (int i = 0; i < 2000; ++i) stranger.sendBinary(testPacket(static_cast<std::uint32_t>(i)));
        stranger.sendText(helloText("nope", link));
        EXPECT_TRUE(stranger.nextOfType("error", std::chrono::seconds(5)));
    }
    // Nothing got through to the listener, and the relay still answers.
    auto broadcaster = onAir(*relay_, key, link);
    broadcaster->sendBinary(testPacket(5));
    const auto packet = listener->nextBinary();
    ASSERT_TRUE(packet);
    const auto expected = testPacket(5);
    EXPECT_EQ(*packet, std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(stillServing());
    const auto devices = relay::admin::listDevices(dir_.path());
    ASSERT_TRUE(devices);
    EXPECT_EQ(devices.value().size(), 1u);
}

TEST_F(RobustnessTest, AListenerMustSayListenWithinTenSeconds) {
    TestSocket quiet;
    ASSERT_TRUE(quiet.connect(relay_->wsUrl("/ws/listen")));
    relay_->clock().advance(std::chrono::seconds(11));
    const auto closed = quiet.waitClosed();
    EXPECT_EQ(closed.kind, WsEvent::closed);
    EXPECT_EQ(closed.closeCode, 1008);
}

}  // namespace
}  // namespace quorvel::test
