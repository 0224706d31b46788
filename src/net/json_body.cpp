#include "net/json_body.h"

#include "config/utf8.h"
#include "json/json.h"

namespace quorvel {

std::string jsonBody(const boost::json::object& object) {
    for (const auto& member : object) {
        if (!isValidUTF8(member.key())) return {};
        if (member.value().is_string() && !isValidUTF8(member.value().get_string())) return {};
    }
    return json::serialize(object);
}

}  // namespace quorvel
