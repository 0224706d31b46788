#include "relay/outgoing_messages.h"

#include <boost/json/object.hpp>
#include <sodium.h>

#include "json/json.h"

namespace quorvel::relay::outgoing {

namespace {

std::string base64(const std::vector<std::uint8_t>& bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

}  // namespace

std::string error(std::string_view code) {
    return json::serialize(boost::json::object{{"type", "error"}, {"error", code}});
}

std::string busy(int maxOnAir) {
    return json::serialize(boost::json::object{{"type", "error"}, {"error", "busy"}, {"max", maxOnAir}});
}

std::string replaced() {
    return R"({"type":"replaced"})";
}

std::string sessionEnded() {
    return R"({"type":"session_ended"})";
}

std::string pong(const boost::json::value& pingTime, double serverMs) {
    return json::serialize(boost::json::object{{"type", "pong"}, {"t", pingTime}, {"s", serverMs}});
}

std::string welcome(std::size_t listeners) {
    return json::serialize(boost::json::object{{"type", "welcome"}, {"listeners", listeners}});
}

std::string listenerCount(std::size_t count) {
    return json::serialize(boost::json::object{{"type", "listeners"}, {"count", count}});
}

std::string ready(const std::string& linkName, bool onAir, const std::string& resumeToken) {
    return json::serialize(
        boost::json::object{{"type", "ready"}, {"name", linkName}, {"onAir", onAir}, {"resume", resumeToken}});
}

std::string state(bool onAir) {
    return json::serialize(boost::json::object{{"type", "state"}, {"onAir", onAir}});
}

std::string format(const StreamForm& form, std::uint32_t rate, unsigned channels,
                   const std::vector<std::uint8_t>& description) {
    boost::json::object message{{"type", "format"}, {"format", codecName(form.codec)}};
    if (form.codec == packet_format::Codec::opus) message["kbps"] = form.kbps;
    message["rate"] = rate;
    message["channels"] = channels;
    if (!description.empty()) message["description"] = base64(description);
    return json::serialize(message);
}

}  // namespace quorvel::relay::outgoing
