#pragma once

#include "net/stream_link.h"

namespace quorvel::app {

// One link as the server lists it. The application only reads it: `id` selects and
// ends a link, `name` and `link` are shown and copied, `createdAt` orders the list.
using StreamLink = quorvel::StreamLink;

}  // namespace quorvel::app
