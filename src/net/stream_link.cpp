#include "net/stream_link.h"

#include <algorithm>

#include "json/json.h"

namespace quorvel {

std::optional<StreamLink> StreamLink::fromJSON(const boost::json::object& object) {
    auto id = json::string(json::member(object, "id"));
    auto name = json::string(json::member(object, "name"));
    auto link = json::string(json::member(object, "link"));
    if (!id || !name || !link) return std::nullopt;
    return StreamLink{std::move(*id),
                      std::move(*name),
                      std::move(*link),
                      json::number(json::member(object, "createdAt")).value_or(0),
                      json::integral(json::member(object, "maxListeners")).value_or(0),
                      json::integral(json::member(object, "listeners")).value_or(0)};
}

void sortNewestFirst(std::vector<StreamLink>& links) {
    std::stable_sort(links.begin(), links.end(),
                     [](const StreamLink& a, const StreamLink& b) { return a.createdAt > b.createdAt; });
}

}  // namespace quorvel
