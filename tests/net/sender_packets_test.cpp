// Audio packets: sent only when welcomed, at most 50 outstanding, the rest counted.
#include "sender_fixture.h"

#include <future>

#include "support/allocation_counter.h"

namespace quorvel::test {
namespace {

using Records = WebSocketPeer::Record;

bool waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

TEST_F(SenderTest, PacketsBeforeWelcomeAreDroppedAndAfterItSentUnchanged) {
    peer.answerHello(std::nullopt);
    make(peer.url());
    sender->start();
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("hello") == 1; }));
    sender->send(packet(64, 1));
    sender->send(Packet());  // one the pool could not hold
    ASSERT_TRUE(waitUntil([&] { return sender->dropped() == 2; }));

    peer.sendText(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    sender->send(packet(64, 7));
    sender->send(packet(3, 9));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 2; }));
    std::vector<std::string> binaries;
    for (const auto& message : peer.record().messages)
        if (message.binary) binaries.push_back(message.data);
    EXPECT_EQ(binaries, (std::vector<std::string>{std::string(64, '\x07'), std::string(3, '\x09')}));
    EXPECT_EQ(sender->dropped(), 2);
}

TEST_F(SenderTest, PacketsAfterALossAreDroppedUntilTheNextWelcome) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    peer.close();
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();  // the retry is scheduled
    sender->send(packet(10, 1));
    ASSERT_TRUE(waitUntil([&] { return sender->dropped() == 1; }));
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 2));
    sender->send(packet(10, 2));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 1; }));
    EXPECT_EQ(peer.record().of(2).back().data, std::string(10, '\x02'));
    EXPECT_EQ(sender->dropped(), 1);
}

TEST_F(SenderTest, TheAudioThreadsCallsAllocateNothing) {
    make(peer.url());
    Packet first = packet(100, 1);
    Packet second = Packet();
    AllocationCounter allocations;
    sender->send(std::move(first));
    sender->send(std::move(second));
    const double now = sender->serverNowMs();
    EXPECT_EQ(allocations.count(), 0u);
    EXPECT_GT(now, 0);
    EXPECT_TRUE(waitUntil([&] { return sender->dropped() == 2; }));  // never started: both refused
}

TEST_F(SenderTest, PacketsFindingTheHandOffFullAreCounted) {
    make(peer.url());
    std::promise<void> gate;
    sender->queue().post([opened = gate.get_future().share()] { opened.wait(); });  // the queue is busy
    auto buffers = PacketPool::create(8, PacketHandoff::kSlots + 6);
    for (std::size_t i = 0; i < PacketHandoff::kSlots + 6; ++i) sender->send(buffers->acquire(8));
    EXPECT_EQ(sender->dropped(), 6);
    gate.set_value();
    EXPECT_TRUE(waitUntil([&] { return sender->dropped() == static_cast<std::int64_t>(PacketHandoff::kSlots + 6); }));
}

TEST_F(SenderTest, StopWhilePacketsFlowClosesCleanly) {
    startWith(welcome());
    ASSERT_TRUE(waitForEvent("connected"));
    auto buffers = PacketPool::create(2048, 64);
    std::thread audio([&] {
        for (int i = 0; i < 400; ++i) {
            sender->send(buffers->acquire(2048));
            if (i % 8 == 0) std::this_thread::yield();
        }
    });
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() >= 20; }));
    sender->stop();
    audio.join();
    ASSERT_TRUE(waitForEvent("off"));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.closed == 1; }));
    EXPECT_EQ(peer.record().closeCodes, (std::vector<int>{1000}));
    // Every packet arrives or is counted, but for those on their way when the close began.
    const auto accounted = [&] { return sender->dropped() + peer.record().binaryCount(); };
    EXPECT_TRUE(waitUntil([&] { return accounted() >= 400 - Sender::kMaxInFlight; }));
    EXPECT_LE(accounted(), 400);
}

// A peer that stops reading, tiny socket buffers and packets far larger than them:
// no packet handed to the connection can complete until the peer reads again.
class SenderWindowTest : public SenderTest {
protected:
    SenderWindowTest() : SenderTest(peerOptions()) { pool = PacketPool::create(64 * 1024, 64); }

    static WebSocketPeer::Options peerOptions() {
        WebSocketPeer::Options options;
        options.receiveBufferBytes = 4096;
        options.keepBinaryBytes = 1;
        return options;
    }
};

TEST_F(SenderWindowTest, TheFiftyFirstOutstandingPacketIsDroppedUntilOneCompletes) {
    peer.answerHello(welcome());
    WebSocketOptions webSocket;
    webSocket.sendBufferBytes = 4096;
    make(peer.url(), webSocket);
    sender->start();
    ASSERT_TRUE(waitForEvent("connected"));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 1; }));

    // The peer's pending read still takes one message; then it stops reading.
    peer.setReading(false);
    sender->send(packet(64 * 1024, 0));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 1; }));
    settle();

    for (int i = 1; i <= 50; ++i) {
        sender->send(packet(64 * 1024, static_cast<std::uint8_t>(i)));
        settle();
    }
    sender->send(packet(64 * 1024, 51));  // handed over in order, so decided after the fifty
    ASSERT_TRUE(waitUntil([&] { return sender->dropped() == 1; }));

    peer.setReading(true);
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 51; }));
    sender->send(packet(64 * 1024, 52));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 52; }));
    std::string order;
    for (const auto& message : peer.record().messages)
        if (message.binary) order.push_back(message.data[0]);
    std::string expected;
    for (int i = 0; i <= 50; ++i) expected.push_back(static_cast<char>(i));
    expected.push_back(52);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(sender->dropped(), 1);
}

// The peer stops reading until the socket buffers are full, then resets the
// connection: the packet being written fails while others wait behind it.
TEST_F(SenderWindowTest, AWriteFailingWhileOthersWaitIsALossNotACrash) {
    peer.answerHello(welcome());
    WebSocketOptions webSocket;
    webSocket.sendBufferBytes = 4096;
    make(peer.url(), webSocket);
    sender->start();
    ASSERT_TRUE(waitForEvent("connected"));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.count("ping") == 1; }));

    peer.setReading(false);
    sender->send(packet(64 * 1024, 0));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.binaryCount() == 1; }));
    for (int i = 1; i <= 5; ++i) {
        sender->send(packet(64 * 1024, static_cast<std::uint8_t>(i)));
        settle();
    }
    peer.reset();
    ASSERT_TRUE(waitForEvent("reconnecting"));
    settle();
    EXPECT_EQ(timers.nextDelay(), Duration(1s));

    peer.setReading(true);
    timers.advance(1s);
    ASSERT_TRUE(waitForEvent("connected", 2));
    sender->send(packet(64 * 1024, 9));
    ASSERT_TRUE(peer.waitFor([](const Records& r) { return r.of(2).size() >= 3; }));  // hello, ping, packet
}

}  // namespace
}  // namespace quorvel::test
