#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <future>

#include "audio/packetizer.h"
#include "net/listen_client.h"
#include "support/relay_harness.h"

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

// A ListenClient on its own thread, as `quorvel listen` runs it.
class RunningListener {
public:
    RunningListener(const std::string& link, const std::string& password) {
        client_ = net::ListenClient::create(context_, *net::parseListenLink(link), password);
        client_->onStatus = [this](const std::string& status) {
            std::lock_guard lock(mutex_);
            statuses_.push_back(status);
        };
        client_->onPacket = [this](const packet_format::Header& header, std::span<const std::uint8_t>) {
            std::lock_guard lock(mutex_);
            sequences_.push_back(header.sequence);
        };
        client_->onFinished = [this](std::optional<std::string> failure) { finished_.set_value(std::move(failure)); };
        boost::asio::post(context_, [this] { client_->start(); });
        thread_ = std::thread([this] { context_.run(); });
    }
    ~RunningListener() {
        boost::asio::post(context_, [this] { client_->stop(); });
        work_.reset();
        thread_.join();
    }
    bool hasStatus(const std::string& status) {
        std::lock_guard lock(mutex_);
        return std::find(statuses_.begin(), statuses_.end(), status) != statuses_.end();
    }
    std::size_t packets() {
        std::lock_guard lock(mutex_);
        return sequences_.size();
    }
    // Stops the client and returns its statistics and how it ended.
    std::pair<net::ListenStats, std::optional<std::string>> stop() {
        boost::asio::post(context_, [this] { client_->stop(); });
        auto failure = finished_.get_future().get();
        std::promise<net::ListenStats> stats;
        boost::asio::post(context_, [&] { stats.set_value(client_->stats()); });
        return {stats.get_future().get(), failure};
    }
    std::optional<std::string> waitFinished() { return finished_.get_future().get(); }

private:
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ = boost::asio::make_work_guard(context_);
    std::shared_ptr<net::ListenClient> client_;
    std::promise<std::optional<std::string>> finished_;
    std::mutex mutex_;
    std::vector<std::string> statuses_;
    std::vector<std::uint32_t> sequences_;
    std::thread thread_;
};

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
    const double now = Packetizer::wallClockMs();
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
