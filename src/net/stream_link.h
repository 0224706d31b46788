#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// One link as the server lists it.
struct StreamLink {
    std::string id;
    std::string name;
    std::string link;       // shown and copied, never opened or parsed
    double createdAt = 0;   // only for ordering; no unit assumed
    std::int64_t maxListeners = 0;
    std::int64_t listeners = 0;

    // The link an object describes: "id", "name" and "link" must be strings (empty is
    // fine); "createdAt" any number, the two counts integral numbers, else 0.
    static std::optional<StreamLink> fromJSON(const boost::json::object& object);

    bool operator==(const StreamLink&) const = default;
};

// Newest first by createdAt; links with equal times keep their order.
void sortNewestFirst(std::vector<StreamLink>& links);

}  // namespace quorvel
