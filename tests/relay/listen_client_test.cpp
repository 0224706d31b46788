#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <future>

#include "net/listen_client.h"
#include "net/listen_stats.h"
#include "runtime/serial_queue.h"
#include "support/relay_harness.h"
#include "support/virtual_timers.h"
#include "support/websocket_peer.h"

namespace quorvel::test {
namespace {

TEST(ListenLinkTest, LinksBecomeListenAddresses) {
    const auto plain = net::parseListenLink("http://127.0.0.1:8787/l/abcDEF_-1");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->url, "ws://127.0.0.1:8787/ws/listen");
    EXPECT_EQ(plain->sessionId, "abcDEF_-1");
    const auto secure = net::parseListenLink("https://relay.example/l/xyz");
    ASSERT_TRUE(secure);
    EXPECT_EQ(secure->url, "wss://relay.example/ws/listen");  // port 443
    const auto v6 = net::parseListenLink("http://[::1]:9000/l/q");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->url, "ws://[::1]:9000/ws/listen");
    for (const char* bad : {"", "relay.example/l/x", "ftp://h/l/x", "http://h/l/", "http://h/x/y", "http://h/l/a/b"})
        EXPECT_FALSE(net::parseListenLink(bad)) << bad;
}

// A ListenClient on its own thread, as `quorvel listen` runs it; its timers on the
// real clock, or on `timers`.
class RunningListener {
public:
    RunningListener(const std::string& link, const std::string& password, VirtualTimers* timers = nullptr) {
        if (timers) timers->attach(queue_);
        client_ = net::ListenClient::create(context_, *net::parseListenLink(link), password, {}, timers);
        client_->onStatus = [this](const std::string& status) {
            std::lock_guard lock(mutex_);
            statuses_.push_back(status);
        };
        client_->onPacket = [this](const packet_format::Header& header, std::span<const std::uint8_t>,
                                   const net::ListenGap& gap) {
            std::lock_guard lock(mutex_);
            sequences_.push_back(header.sequence);
            silenceFrames_ += gap.silenceFrames;
        };
        client_->onFinished = [this](std::optional<std::string> failure) { finished_.set_value(std::move(failure)); };
        boost::asio::post(context_, [this] { client_->start(); });
        thread_ = std::thread([this] { context_.run(); });
    }
    ~RunningListener() {
        boost::asio::post(context_, [this] { client_->stop(); });
        result_.wait_for(10s);
        context_.stop();  // as `quorvel listen` does once finished
        thread_.join();
    }
    bool hasStatus(const std::string& status, std::ptrdiff_t times = 1) {
        std::lock_guard lock(mutex_);
        return std::count(statuses_.begin(), statuses_.end(), status) >= times;
    }
    std::size_t packets() {
        std::lock_guard lock(mutex_);
        return sequences_.size();
    }
    // Stops the client and returns its statistics and how it ended.
    std::pair<net::ListenStats, std::optional<std::string>> stop() {
        boost::asio::post(context_, [this] { client_->stop(); });
        auto failure = result_.get();
        std::promise<net::ListenStats> stats;
        boost::asio::post(context_, [&] { stats.set_value(client_->stats()); });
        return {stats.get_future().get(), failure};
    }
    std::uint64_t silenceFrames() {
        std::lock_guard lock(mutex_);
        return silenceFrames_;
    }
    std::optional<std::string> waitFinished() { return result_.get(); }
    bool finished() { return result_.wait_for(0s) == std::future_status::ready; }

private:
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ = boost::asio::make_work_guard(context_);
    AsioExecutor queue_{context_};
    std::shared_ptr<net::ListenClient> client_;
    std::promise<std::optional<std::string>> finished_;
    std::shared_future<std::optional<std::string>> result_ = finished_.get_future().share();
    std::mutex mutex_;
    std::vector<std::string> statuses_;
    std::vector<std::uint32_t> sequences_;
    std::uint64_t silenceFrames_ = 0;
    std::thread thread_;
};

// A relay that takes the upgrade and then falls silent, in virtual time.
class ListenClientSilenceTest : public ::testing::Test {
protected:
    std::string link() const { return "http://127.0.0.1:" + std::to_string(relay.port()) + "/l/abc"; }

    WebSocketPeer relay;
    VirtualTimers timers;
};

TEST_F(ListenClientSilenceTest, NoReadyWithinElevenSecondsMeansConnectingAgain) {
    RunningListener listener(link(), "pw", &timers);
    ASSERT_TRUE(relay.waitFor([](const WebSocketPeer::Record& r) { return r.count("listen") == 1; }));
    timers.advance(11s);
    ASSERT_TRUE(RunningRelay::eventually(
        [&] { return listener.hasStatus("The relay did not answer within 11 seconds; reconnecting in 0.5 s."); }));
    timers.advance(500ms - 1ms);
    EXPECT_EQ(relay.record().count("listen"), 1);
    timers.advance(1ms);
    EXPECT_TRUE(relay.waitFor([](const WebSocketPeer::Record& r) { return r.count("listen") == 2; }));
    EXPECT_FALSE(listener.finished());
}

TEST_F(ListenClientSilenceTest, SixSecondsWithoutAWordAfterReadyMeanConnectingAgain) {
    relay.answerHello(R"({"type":"ready","onAir":true,"resume":"t0k"})");
    RunningListener listener(link(), "pw", &timers);
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("On air."); }));
    timers.advance(4s);
    const auto packet = testPacket(7);
    relay.sendBinary(std::string(packet.begin(), packet.end()));  // anything restarts the count
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.packets() == 1; }));
    timers.advance(6s - 1ms);
    EXPECT_TRUE(relay.waitFor([](const WebSocketPeer::Record& r) { return r.count("ping") == 5; }));  // 0, 2 … 8 s
    EXPECT_EQ(relay.record().closed, 0);
    timers.advance(1ms);
    EXPECT_TRUE(relay.waitFor([](const WebSocketPeer::Record& r) { return r.closed == 1; }));
    ASSERT_TRUE(RunningRelay::eventually([&] {
        return listener.hasStatus("Connection lost: nothing came from the relay for 6 seconds; reconnecting in 0.5 s.");
    }));
    timers.advance(500ms);
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("On air.", 2); }));
    EXPECT_FALSE(listener.finished());
    EXPECT_NE(relay.record().of(2).at(0).data.find(R"("resume":"t0k")"), std::string::npos);  // as the page does
}

// FLAC's and Opus's packets say nothing of their length: what went missing between two
// is measured by their timestamps, whatever the length (here 10 ms at 44.1 kHz).
TEST(ListenStatsTest, LossInFlacOrOpusIsMeasuredByTheTimestamps) {
    for (const auto codec : {packet_format::Codec::flac, packet_format::Codec::opus}) {
        net::ListenStats stats;
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t silence = 0;
        for (std::uint32_t seq : {0u, 1u, 2u, 6u, 7u}) {
            std::vector<std::uint8_t> packet(packet_format::kHeaderBytes + 40, 0);
            packet_format::writeHeader(packet.data(), {2, 44100, seq, 1000.0 + seq * 10.0, codec});
            const auto heard = stats.count(packet, start + std::chrono::milliseconds(10 * seq));
            ASSERT_TRUE(heard);
            silence += heard->before.silenceFrames;
        }
        EXPECT_EQ(stats.lost, 3u);
        EXPECT_DOUBLE_EQ(stats.lostMs, 30.0);
        EXPECT_EQ(silence, 3 * 441u);
    }
}

class ListenClientTest : public LinkFixture {
protected:
    ListenClientTest() : LinkFixture(2) {}
    std::string linkUrl() const { return relay_->httpBase() + "/l/" + link_; }
};

TEST_F(ListenClientTest, CountsPacketsGapsAndLatencyOnTheRelaysClock) {
    RunningListener listener(linkUrl(), "listen");
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("Waiting for the studio to go on air."); }));
    auto broadcaster = onAir(*relay_, key_, link_);
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("On air."); }));
    const double now = relay_->clock().wallMs();
    for (std::uint32_t seq : {0u, 1u, 2u, 5u, 6u, 9u}) {
        auto packet = testPacket(seq);
        packet_format::writeHeader(packet.data(), {2, 48000, seq, now - 20.0});
        broadcaster->sendBinary(packet);
    }
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.packets() == 6; }));
    const auto [stats, failure] = listener.stop();
    EXPECT_FALSE(failure);
    EXPECT_EQ(stats.received, 6u);
    EXPECT_EQ(stats.lost, 4u);
    ASSERT_EQ(stats.latencyMs.size(), 6u);
    for (double latency : stats.latencyMs) {
        EXPECT_GE(latency, 19.0);  // the packet's own 20 ms, less clock-sync error
        EXPECT_LT(latency, 1000.0);
    }
}

// The relay stalled, the studio reconnected, the relay restarted: the listener stays,
// and what it missed is counted by sequence number within a broadcast and by the
// timestamps from one broadcast to the next, and filled in with silence.
TEST_F(ListenClientTest, KeepsListeningAcrossRestartsAndCountsAllThatWentMissing) {
    VirtualTimers timers;
    RunningListener listener(linkUrl(), "listen", &timers);
    const std::string waiting = "Waiting for the studio to go on air.";
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus(waiting); }));
    int broadcasts = 0;
    const auto broadcast = [&](std::initializer_list<std::uint32_t> sequences, double startMs) {
        auto broadcaster = onAir(*relay_, key_, link_);
        const int times = ++broadcasts;
        ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("On air.", times); }));
        const std::size_t expected = listener.packets() + sequences.size();
        for (std::uint32_t seq : sequences) {
            auto packet = testPacket(seq);
            packet_format::writeHeader(packet.data(), {2, 48000, seq, startMs + seq * 20.0});
            broadcaster->sendBinary(packet);
        }
        ASSERT_TRUE(RunningRelay::eventually([&] { return listener.packets() == expected; }));
        broadcaster->close();
    };
    broadcast({0, 1, 2}, ManualClock::kStartWallMs);
    broadcast({10, 11}, ManualClock::kStartWallMs);  // the same broadcast, back on air: 7 lost
    const auto port = relay_->port();
    start([port](relay::RelayServerOptions& options) { options.web.port = port; });
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("The relay is restarting; reconnecting in 0.5 s."); }));
    timers.advance(500ms);
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus(waiting, 2); }));
    broadcast({0}, ManualClock::kStartWallMs + 12 * 20.0 + 1000);  // a new broadcast a second later
    EXPECT_EQ(listener.silenceFrames(), 7 * 960u + 48000u);
    const auto [stats, failure] = listener.stop();
    EXPECT_FALSE(failure);
    EXPECT_EQ(stats.received, 6u);
    EXPECT_EQ(stats.lost, 7u);
    EXPECT_DOUBLE_EQ(stats.lostMs, 140.0);
    EXPECT_NEAR(stats.offAirMs, 1000.0, 0.01);
}

TEST_F(ListenClientTest, RefusalsAndTheEndOfTheLinkAreReported) {
    EXPECT_EQ(RunningListener(linkUrl(), "wrong").waitFinished(), "Wrong password for this link.");
    EXPECT_EQ(RunningListener(relay_->httpBase() + "/l/none", "listen").waitFinished(),
              "This link does not exist or has ended.");
    RunningListener listener(linkUrl(), "listen");
    ASSERT_TRUE(RunningRelay::eventually([&] { return listener.hasStatus("Waiting for the studio to go on air."); }));
    httpPost(relay_->httpBase() + "/api/device/sessions/" + link_ + "/end", jsonText("key", key_));
    EXPECT_EQ(listener.waitFinished(), "The link has ended.");
}

}  // namespace
}  // namespace quorvel::test
