#include <boost/json/object.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "audio/packet_format.h"
#include "json/json.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

std::string asText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ListenTest : public LinkFixture {
protected:
    ListenTest() : LinkFixture(3) {}
};

TEST_F(ListenTest, JoiningChecksLinkPasswordAndCapacity) {
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "wrong")), "password");
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText("nope", "listen")), "session");
    EXPECT_EQ(refusal(*relay_, "/ws/listen", R"({"type":"listen","password":"listen"})"), "session");

    TestSocket ready;
    ASSERT_TRUE(ready.connect(relay_->wsUrl("/ws/listen")));
    ready.sendText(listenText(link_, "listen"));
    const auto answer = ready.nextOfType("ready");
    ASSERT_TRUE(answer);
    EXPECT_EQ((*json::parseObject(*answer))["onAir"], false);
    EXPECT_EQ((*json::parseObject(*answer))["name"], "Mix");  // said only once the password is right

    auto second = listening(*relay_, link_);
    auto third = listening(*relay_, link_);
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "listen")), "full");
    // Without the password nobody learns that the link is full.
    EXPECT_EQ(refusal(*relay_, "/ws/listen", listenText(link_, "wrong")), "password");
    third.reset();
    ASSERT_TRUE(RunningRelay::eventually([&] {
        TestSocket again;
        if (!again.connect(relay_->wsUrl("/ws/listen"))) return false;
        again.sendText(listenText(link_, "listen"));
        return again.nextOfType("ready").has_value();
    }));
}

TEST_F(ListenTest, PacketsReachEveryListenerByteForByteAndInOrder) {
    std::vector<std::unique_ptr<TestSocket>> listeners;
    for (int i = 0; i < 3; ++i) listeners.push_back(listening(*relay_, link_));
    auto broadcaster = onAir(*relay_, key_, link_);
    std::vector<std::vector<std::uint8_t>> sent;
    for (std::uint32_t seq = 0; seq < 20; ++seq) {
        sent.push_back(seq % 2 ? testPacket(seq) : testPacket(seq, 1, 44100));
        broadcaster->sendBinary(sent.back());
    }
    sent.push_back(testPacket(99, 2, 96000));
    broadcaster->sendBinary(sent.back());
    for (auto& listener : listeners) {
        EXPECT_TRUE(listener->nextOfType("state"));  // on air
        for (const auto& packet : sent) {
            const auto received = listener->nextBinary();
            ASSERT_TRUE(received);
            EXPECT_EQ(*received, asText(packet));
        }
    }
}

TEST_F(ListenTest, MalformedPacketsAreDroppedAndTheStreamGoesOn) {
    auto listener = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    std::vector<std::vector<std::uint8_t>> bad;
    bad.push_back({});
    bad.push_back(std::vector<std::uint8_t>(19, 1));
    auto wrongMagic = testPacket(1);
    wrongMagic[1] = 2;
    bad.push_back(wrongMagic);
    auto threeChannels = testPacket(1);
    threeChannels[2] = 3;
    bad.push_back(threeChannels);
    auto reserved = testPacket(1);
    reserved[3] = 1;
    bad.push_back(reserved);
    auto oddRate = testPacket(1);
    oddRate[4] = 0x11;  // 48000 -> 47889 Hz
    bad.push_back(oddRate);
    auto shortPacket = testPacket(1);
    shortPacket.resize(shortPacket.size() - 6);
    bad.push_back(shortPacket);
    auto longPacket = testPacket(1);
    longPacket.resize(longPacket.size() + 6);
    bad.push_back(longPacket);
    for (const auto& packet : bad) broadcaster->sendBinary(packet);
    broadcaster->sendBinary(testPacket(7));
    const auto received = listener->nextBinary();
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, asText(testPacket(7)));
    broadcaster->close();
    EXPECT_EQ(broadcaster->waitClosed().kind, WsEvent::closed);
    ASSERT_TRUE(RunningRelay::eventually([&] {
        for (const auto& line : relay_->logLines())
            if (line.find("1 packets, 8 malformed, close code 1000") != std::string::npos) return true;
        return false;
    }));
}

TEST_F(ListenTest, ListenersHearWhenTheBroadcasterComesAndGoes) {
    auto listener = listening(*relay_, link_);
    {
        auto broadcaster = onAir(*relay_, key_, link_);
        const auto on = listener->nextOfType("state");
        ASSERT_TRUE(on);
        EXPECT_EQ((*json::parseObject(*on))["onAir"], true);
        broadcaster->close();
        broadcaster->waitClosed();
    }
    const auto off = listener->nextOfType("state");
    ASSERT_TRUE(off);
    EXPECT_EQ((*json::parseObject(*off))["onAir"], false);
    // Listeners may keep the server's clock too.
    listener->sendText(R"({"type":"ping","t":12.5})");
    const auto pong = listener->nextOfType("pong");
    ASSERT_TRUE(pong);
    EXPECT_EQ(json::number(json::member(*json::parseObject(*pong), "t")), 12.5);
}

TEST_F(ListenTest, ASlowListenerLosesPacketsWithoutSlowingTheOthers) {
    auto slow = listening(*relay_, link_);  // never reads until the end
    auto fast = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    // Enough to fill every socket buffer between the relay and the slow listener.
    constexpr std::uint32_t kPackets = 3000;
    std::vector<std::string> packets;
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) packets.push_back(asText(testPacket(seq)));
    std::uint32_t received = 0;
    bool inOrder = true;
    // The fast listener reads on its own thread, as a real one would.
    std::thread reader([&] {
        while (received < kPackets) {
            const auto packet = fast->nextBinary(std::chrono::seconds(5));
            if (!packet) return;
            inOrder = inOrder && *packet == packets[received];
            ++received;
        }
    });
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
        broadcaster->sendBinary(testPacket(seq));
        // A real broadcaster sends one packet per 20 ms; this one is forty times faster.
        const auto next = std::chrono::steady_clock::now() + std::chrono::microseconds(500);
        while (std::chrono::steady_clock::now() < next) broadcaster->pump(std::chrono::microseconds(100));
    }
    reader.join();
    EXPECT_EQ(received, kPackets);
    EXPECT_TRUE(inOrder);

    // The slow one finally reads: it lost packets, and what it got is intact and in order.
    std::uint32_t slowCount = 0;
    std::uint32_t lastSeq = 0;
    while (const auto packet = slow->nextBinary(std::chrono::milliseconds(300))) {
        std::uint32_t seq = 0;
        std::memcpy(&seq, packet->data() + 8, 4);
        ASSERT_LT(seq, kPackets);
        EXPECT_EQ(*packet, packets[seq]);
        if (slowCount > 0) {
            EXPECT_GT(seq, lastSeq);
        }
        lastSeq = seq;
        ++slowCount;
    }
    EXPECT_GT(slowCount, 0u);
    EXPECT_LT(slowCount, kPackets);
}

// A backlog that a stalled route lets through at once is stale: packets more than a
// second behind the relay's clock are dropped, and counted for each listener.
TEST_F(ListenTest, PacketsFarBehindTheRelaysClockAreNotForwarded) {
    auto listener = listening(*relay_, link_);
    auto broadcaster = onAir(*relay_, key_, link_);
    ASSERT_TRUE(listener->nextOfType("state"));
    const auto stamped = [&](std::uint32_t sequence, double behindMs) {
        auto packet = testPacket(sequence);
        packet_format::writeHeader(packet.data(), {2, 48000, sequence, relay_->clock().wallMs() - behindMs});
        return packet;
    };
    for (std::uint32_t seq = 0; seq < 5; ++seq) broadcaster->sendBinary(stamped(seq, 5000 - seq * 20.0));
    broadcaster->sendBinary(stamped(5, 1000.5));
    broadcaster->sendBinary(stamped(6, 1000));
    broadcaster->sendBinary(stamped(7, 20));
    broadcaster->sendBinary(stamped(8, -500));  // ahead of our clock: not late
    // The first to arrive is 6: the backlog and the packet just over the second are gone.
    for (const auto& [seq, behind] : std::vector<std::pair<std::uint32_t, double>>{{6, 1000}, {7, 20}, {8, -500}}) {
        const auto packet = listener->nextBinary();
        ASSERT_TRUE(packet);
        EXPECT_EQ(*packet, asText(stamped(seq, behind))) << seq;
    }
    listener->close();
    ASSERT_TRUE(RunningRelay::eventually([&] {
        for (const auto& line : relay_->logLines())
            if (line.find("0 packets dropped for a full queue, 6 for being late") != std::string::npos) return true;
        return false;
    }));
}

// A listener that falls silent (its route is gone) is let go after six seconds with
// 1001, and its place on the link is free at once. The broadcaster's listener count
// tells when the relay has let go, before the listener may answer a late ping.
// A test socket answers pings whenever it is read, so the listeners speak before the
// relay's first ping is due (2 s) and are not read afterwards: otherwise a pong could
// reach the relay after the clock moved on and count as a later word.
TEST_F(ListenTest, ASilentListenerIsLetGoAndItsPlaceFreed) {
    auto broadcaster = onAir(*relay_, key_, link_);
    const auto countReaches = [&](int count) {
        while (const auto message = broadcaster->nextOfType("listeners"))
            if (json::integral(json::member(*json::parseObject(*message), "count")) == count) return true;
        return false;
    };
    auto quiet = listening(*relay_, link_);
    auto talking = listening(*relay_, link_);
    auto third = listening(*relay_, link_);
    ASSERT_TRUE(countReaches(3));
    relay_->clock().advance(std::chrono::seconds(1));
    for (auto* listener : {talking.get(), third.get()}) {  // a word from them restarts their count
        listener->sendText(R"({"type":"ping","t":1})");
        ASSERT_TRUE(listener->nextOfType("pong"));
    }
    relay_->clock().advance(std::chrono::seconds(5));
    ASSERT_TRUE(countReaches(2));
    const auto closed = quiet->waitClosed();
    EXPECT_EQ(closed.kind, WsEvent::closed);
    EXPECT_EQ(closed.closeCode, 1001);
    auto fourth = listening(*relay_, link_);  // its place is free
    ASSERT_TRUE(fourth);
    ASSERT_TRUE(countReaches(3));

    relay_->clock().advance(std::chrono::seconds(1));  // 6 s since the others spoke
    ASSERT_TRUE(countReaches(1));
    EXPECT_EQ(talking->waitClosed().closeCode, 1001);
    EXPECT_EQ(third->waitClosed().closeCode, 1001);
}

}  // namespace
}  // namespace quorvel::test
