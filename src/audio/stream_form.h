#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audio/packet_format.h"

namespace quorvel {

// The form a listener takes a link's stream in: PCM as the studio sends it, or FLAC
// or Opus encoded by the relay for a thinner line.
struct StreamForm {
    packet_format::Codec codec = packet_format::Codec::pcm;
    int kbps = 0;  // Opus only: 256, 128 or 64

    auto operator<=>(const StreamForm&) const = default;
};

inline constexpr int kDefaultOpusKbps = 128;

// From a listen or format message's "format" and "kbps": no format is PCM, Opus
// without kbps is 128; kbps is only read for Opus. Nothing for anything else.
std::optional<StreamForm> streamFormFrom(const std::optional<std::string>& format, std::optional<std::int64_t> kbps);
// The command line's spelling: "pcm", "flac", "opus" or "opus:KBPS".
std::optional<StreamForm> parseStreamForm(std::string_view text);
// "pcm", "flac" or "opus".
std::string_view codecName(packet_format::Codec codec);
// "pcm", "flac", "opus:128".
std::string formName(const StreamForm& form);

}  // namespace quorvel
