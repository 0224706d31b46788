#include "net/relay_message.h"

#include "json/json.h"

namespace quorvel::net {

std::optional<RelayMessage> readRelayMessage(std::string_view text) {
    const auto object = json::parseObject(text);
    if (!object) return std::nullopt;
    auto type = json::string(json::member(*object, "type"));
    if (!type) return std::nullopt;
    RelayMessage message;
    message.type = std::move(*type);
    message.listeners = json::count(json::member(*object, message.type == "listeners" ? "count" : "listeners"));
    message.pingMs = json::number(json::member(*object, "t"));
    message.serverMs = json::number(json::member(*object, "s"));
    message.error = json::string(json::member(*object, "error"));
    message.resume = json::string(json::member(*object, "resume"));
    message.max = json::integral(json::member(*object, "max"));
    const auto* onAir = json::member(*object, "onAir");
    message.onAir = onAir && onAir->is_bool() && onAir->get_bool();
    return message;
}

}  // namespace quorvel::net
