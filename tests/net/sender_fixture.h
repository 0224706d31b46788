#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/packet_pool.h"
#include "net/sender.h"
#include "runtime/serial_queue.h"
#include "support/virtual_timers.h"
#include "support/websocket_peer.h"

namespace quorvel::test {

using namespace std::chrono_literals;

inline std::string welcome() { return R"({"type":"welcome"})"; }
inline std::string listeners(int count) { return R"({"type":"listeners","count":)" + std::to_string(count) + "}"; }

// Resolves once `sender` is destroyed, its thread joined: a token only its onState
// holds goes with the sender's members, which die after its destructor's body.
inline std::future<void> whenDestroyed(Sender& sender) {
    auto destroyed = std::make_shared<std::promise<void>>();
    auto future = destroyed->get_future();
    std::shared_ptr<void> token(nullptr, [destroyed](void*) { destroyed->set_value(); });
    sender.onState = [previous = std::move(sender.onState), token](Sender::State state) {
        if (previous) previous(std::move(state));
    };
    return future;
}

// Lets go of `sender` and waits until it is destroyed (a close may still be finishing).
inline void release(std::shared_ptr<Sender>& sender) {
    if (!sender) return;
    auto destroyed = whenDestroyed(*sender);
    sender.reset();
    EXPECT_EQ(destroyed.wait_for(10s), std::future_status::ready);
}

// A sender against a loopback peer, with virtual timers and a real main queue whose
// deliveries are recorded as text: "connecting", "failed(…)", "listeners 2", "revoked",
// "session ended".
class SenderTest : public ::testing::Test {
protected:
    WebSocketPeer peer;
    SerialQueue main{"test.main"};
    VirtualTimers timers;
    std::atomic<double> wallClock{1000.0};
    std::shared_ptr<PacketPool> pool = PacketPool::create(2048, 64);
    std::shared_ptr<Sender> sender;

    SenderTest() = default;
    explicit SenderTest(WebSocketPeer::Options options) : peer(std::move(options)) {}

    void TearDown() override { release(); }

    std::shared_ptr<Sender> make(const std::string& url, WebSocketOptions webSocket = {}, bool virtualClock = false) {
        SenderOptions options;
        options.webSocket = std::move(webSocket);
        options.timers = &timers;
        if (virtualClock) options.wallClockMs = [this] { return wallClock.load(); };
        Config config;
        config.serverURL = url;
        sender = Sender::create(config, "device-key", "session-1", main.executor(), std::move(options));
        timers.attach(sender->queue());
        sender->onState = [this](Sender::State state) {
            std::ostringstream text;
            text << state;
            record(text.str());
        };
        sender->onListeners = [this](std::int64_t count) { record("listeners " + std::to_string(count)); };
        sender->onRevoked = [this] { record("revoked"); };
        sender->onSessionEnded = [this] { record("session ended"); };
        return sender;
    }

    std::shared_ptr<Sender> startWith(const std::string& helloReply) {
        peer.answerHello(helloReply);
        make(peer.url());
        sender->start();
        return sender;
    }

    // Drops the sender and waits until it is gone, and its last reports delivered.
    void release() {
        test::release(sender);
        drain(main.executor());
    }

    // Everything the sender has queued is done and its reports are delivered.
    void settle() {
        ASSERT_TRUE(drain(sender->queue()));
        ASSERT_TRUE(drain(main.executor()));
    }

    void record(std::string event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }

    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    void clearEvents() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

    // Waits until `count` events were delivered, and returns them all.
    std::vector<std::string> waitForEvents(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
        return events_;
    }

    bool waitForEvent(const std::string& event, std::size_t occurrences = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event)) >= occurrences;
        });
    }

    Packet packet(std::size_t size, std::uint8_t fill) {
        Packet result = pool->acquire(size);
        std::fill(result.mutableBytes().begin(), result.mutableBytes().end(), fill);
        return result;
    }

    static std::string failed(const std::string& text) { return "failed(" + text + ")"; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

}  // namespace quorvel::test
