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
    // A PCM packet's length is in its size; another form's in the timestamps, as the
    // packets before it had (a first one is taken for the studio's 20 ms).
    const bool pcm = header->codec == packet_format::Codec::pcm;
    const double ms = pcm ? 1000.0 * static_cast<double>((bytes.size() - packet_format::kHeaderBytes) /
                                                         (3u * header->channels)) /
                                header->sampleRate
                          : (last_ && last_->header.codec == header->codec
                                 ? packetMs(*header, header->sequence - (last_->header.sequence + 1))
                                 : 20.0);
    const auto frames = static_cast<std::uint64_t>(std::llround(ms * header->sampleRate / 1000));
    audioMs_ += heard.before.lostMs + heard.before.offAirMs + ms;
    last_ = Last{*header, frames, ms};
    return heard;
}

// The length of each packet of a run: the last packet and the `skipped` after it, which
// `header` follows. A PCM packet's is in its size; FLAC's and Opus's in the timestamps,
// which date each packet's first frame on the relay's clock.
double ListenStats::packetMs(const packet_format::Header& header, std::uint32_t skipped) const {
    if (header.codec != last_->header.codec || header.codec == packet_format::Codec::pcm || skipped >= 0x80000000u)
        return last_->ms;
    const double each = (header.timestampMs - last_->header.timestampMs) / (skipped + 1.0);
    // No codec's packet is shorter than 2.5 ms or longer than 120 ms: beyond that, a clock
    // moved.
    return each >= 2.5 && each <= 120 ? each : last_->ms;
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
        gap.lostMs = skipped * packetMs(header, skipped);
        frames = last_->header.codec == packet_format::Codec::pcm
                     ? skipped * last_->frames
                     : static_cast<std::uint64_t>(std::llround(gap.lostMs * last_->header.sampleRate / 1000));
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
