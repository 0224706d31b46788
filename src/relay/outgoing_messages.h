#pragma once

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audio/stream_form.h"

// Every text message the relay sends on /ws/send and /ws/listen, as JSON text. Who
// sends which, and when, is docs/protocol.md.
namespace quorvel::relay::outgoing {

// {"type":"error","error":code}: a refusal or an end, before the connection closes.
std::string error(std::string_view code);
// The broadcaster refused because `maxOnAir` other computers are on air.
std::string busy(int maxOnAir);
std::string replaced();
std::string sessionEnded();
std::string pong(const boost::json::value& pingTime, double serverMs);

// To the broadcaster.
std::string welcome(std::size_t listeners);
std::string listenerCount(std::size_t count);

// To a listener.
std::string ready(const std::string& linkName, bool onAir, const std::string& resumeToken);
std::string state(bool onAir);
// The form about to come; `description` is the FLAC stream's, empty for the others.
std::string format(const StreamForm& form, std::uint32_t rate, unsigned channels,
                   const std::vector<std::uint8_t>& description);

}  // namespace quorvel::relay::outgoing
