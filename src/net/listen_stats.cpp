#include "net/listen_stats.h"

#include <algorithm>
#include <cmath>

#include "audio/packetizer.h"

namespace quorvel::net {

namespace {

// Audio arrives no faster than it is played, give or take the relay's queue and the
// sound card's drift against our clock: a gap that would make the session longer
// than that is a numbering or a clock that started again, not audio that was lost.
constexpr double kSlackMs = 2000;
constexpr double kDrift = 0.01;

}  // namespace

std::optional<ListenStats::Heard> ListenStats::count(std::span<const std::uint8_t> bytes, TimePoint arrival) {
    const auto header = packet_format::readAnyHeader(bytes);
    if (!header) {
        ++malformed;
        return std::nullopt;
    }
    ++received;
    Heard heard{*header, {}};
    if (last_) {
        heard.before = gapBefore(*header, arrival);
        lost += heard.before.lostPackets;
        lostMs += heard.before.lostMs;
        offAirMs += heard.before.offAirMs;
    } else {
        first_ = arrival;
    }
    // Every packet the relay sends, in any form, is 20 ms of audio.
    const std::uint64_t frames = header->codec == packet_format::Codec::pcm
                                     ? (bytes.size() - packet_format::kHeaderBytes) / (3u * header->channels)
                                     : header->sampleRate / 50;
    const double ms = 1000.0 * static_cast<double>(frames) / header->sampleRate;
    audioMs_ += heard.before.lostMs + heard.before.offAirMs + ms;
    last_ = Last{*header, frames, ms};
    return heard;
}

// Within one broadcast the sequence numbers tell what is missing; from one broadcast
// to the next, the timestamps (both on the relay's clock).
ListenGap ListenStats::gapBefore(const packet_format::Header& header, TimePoint arrival) const {
    ListenGap gap;
    const double elapsedMs = std::chrono::duration<double, std::milli>(arrival - first_).count();
    const double room = std::max(0.0, elapsedMs * (1 + kDrift) + kSlackMs - audioMs_);
    const std::uint32_t skipped = header.sequence - (last_->header.sequence + 1);
    std::uint64_t frames = 0;
    if (skipped < 0x80000000u && skipped * last_->ms <= room) {
        gap.lostPackets = skipped;
        gap.lostMs = skipped * last_->ms;
        frames = skipped * last_->frames;
    } else {
        // std::max first: a NaN becomes 0.
        gap.offAirMs = std::min(room, std::max(0.0, header.timestampMs - last_->header.timestampMs - last_->ms));
        frames = static_cast<std::uint64_t>(std::llround(gap.offAirMs * header.sampleRate / 1000));
    }
    const bool sameFormat = header.sampleRate == last_->header.sampleRate && header.channels == last_->header.channels;
    if (sameFormat && header.sampleRate <= Packetizer::kMaxSampleRate) gap.silenceFrames = frames;
    return gap;
}

}  // namespace quorvel::net
