#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "net/packet_handoff.h"
#include "support/allocation_counter.h"

namespace quorvel {
namespace {

TEST(PacketHandoff, PassesPacketsInOrderAndRefusesWhenFull) {
    auto pool = PacketPool::create(8, PacketHandoff::kSlots + 1);
    PacketHandoff handoff;
    for (std::size_t i = 0; i < PacketHandoff::kSlots; ++i) {
        Packet packet = pool->acquire(8);
        packet.mutableBytes()[0] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(handoff.push(packet));
        EXPECT_FALSE(packet);
    }
    Packet extra = pool->acquire(8);
    EXPECT_FALSE(handoff.push(extra));
    EXPECT_TRUE(extra);  // still the caller's

    Packet out;
    for (std::size_t i = 0; i < PacketHandoff::kSlots; ++i) {
        ASSERT_TRUE(handoff.pop(out));
        EXPECT_EQ(out.bytes()[0], static_cast<std::uint8_t>(i));
    }
    EXPECT_FALSE(handoff.pop(out));
    EXPECT_TRUE(handoff.push(extra));
}

TEST(PacketHandoff, PushAllocatesNothing) {
    auto pool = PacketPool::create(8, 4);
    PacketHandoff handoff;
    Packet packet = pool->acquire(8);
    test::AllocationCounter allocations;
    ASSERT_TRUE(handoff.push(packet));
    EXPECT_EQ(allocations.count(), 0u);
}

TEST(PacketHandoff, CarriesEveryPacketAcrossThreads) {
    auto pool = PacketPool::create(4, 16);
    PacketHandoff handoff;
    constexpr std::uint32_t kCount = 20000;
    std::thread producer([&] {
        for (std::uint32_t i = 0; i < kCount;) {
            Packet packet = pool->acquire(4);
            if (!packet) continue;
            std::memcpy(packet.mutableBytes().data(), &i, 4);
            if (handoff.push(packet)) ++i;
        }
    });
    Packet out;
    for (std::uint32_t expected = 0; expected < kCount;) {
        if (!handoff.pop(out)) continue;
        std::uint32_t value = 0;
        std::memcpy(&value, out.bytes().data(), 4);
        EXPECT_EQ(value, expected);
        ++expected;
        out = Packet();
    }
    producer.join();
}

}  // namespace
}  // namespace quorvel
