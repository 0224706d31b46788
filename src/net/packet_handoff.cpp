#include "net/packet_handoff.h"

namespace quorvel {

PacketHandoff::PacketHandoff() {
    for (std::uint16_t i = 0; i < kSlots; ++i) free_.push(i);
}

bool PacketHandoff::push(Packet& packet) noexcept {
    std::uint16_t slot = 0;
    if (!free_.pop(slot)) return false;
    slots_[slot] = std::move(packet);
    filled_.push(slot);
    return true;
}

bool PacketHandoff::pop(Packet& out) noexcept {
    std::uint16_t slot = 0;
    if (!filled_.pop(slot)) return false;
    out = std::move(slots_[slot]);
    free_.push(slot);
    return true;
}

}  // namespace quorvel
