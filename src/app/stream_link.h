#pragma once

#include <cstdint>
#include <string>

namespace quorvel::app {

// One link as the server lists it. The application only reads it: `id` selects and
// ends a link, `name` and `link` are shown and copied, `createdAt` orders the list.
struct StreamLink {
    std::string id;
    std::string name;
    std::string link;
    double createdAt = 0;
    std::int64_t maxListeners = 0;
    std::int64_t listeners = 0;

    bool operator==(const StreamLink&) const = default;
};

}  // namespace quorvel::app
