#include "net/json_body.h"

#include "text/utf8.h"
#include "json/json.h"

namespace quorvel {

std::string jsonBody(const boost::json::object& object) {
    for (const auto& member : object) {
        if (!text::isValidUTF8(member.key())) return {};
        if (member.value().is_string() && !text::isValidUTF8(member.value().get_string())) return {};
    }
    return json::serialize(object);
}

}  // namespace quorvel
