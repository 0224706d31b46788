#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::net {

// One text message from the relay to a broadcaster or a listener, its members checked
// on their JSON kinds: a member that is missing or of another kind is absent.
struct RelayMessage {
    std::string type;                       // "welcome", "listeners", "pong", "error", "ready", …
    std::optional<std::int64_t> listeners;  // "listeners" of "welcome", "count" of "listeners"; never negative
    std::optional<double> pingMs;           // "t" of "pong": the ping's own time, echoed
    std::optional<double> serverMs;         // "s" of "pong": the relay's clock
    std::optional<std::string> error;       // "error" of "error"
    std::optional<std::string> resume;      // "resume" of "ready": stands for the password on a reconnection
    std::optional<std::int64_t> max;        // "max" of "error" "busy"
    bool onAir = false;                     // "onAir" of "ready" and "state": JSON true only
};

// Nothing for a text that is not a JSON object with a string "type".
std::optional<RelayMessage> readRelayMessage(std::string_view text);

}  // namespace quorvel::net
