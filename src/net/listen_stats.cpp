#include "net/listen_stats.h"

namespace quorvel::net {

std::optional<packet_format::Header> ListenStats::count(std::span<const std::uint8_t> bytes) {
    const auto header = packet_format::readHeader(bytes);
    if (!header) {
        ++malformed;
        return std::nullopt;
    }
    ++received;
    if (nextSequence) {
        const std::uint32_t gap = header->sequence - *nextSequence;
        // A jump backwards (a restarted broadcast) is not a loss.
        if (gap < 0x80000000u) lost += gap;
    }
    nextSequence = header->sequence + 1;
    return header;
}

}  // namespace quorvel::net
