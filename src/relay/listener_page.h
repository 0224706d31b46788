#pragma once

#include <string_view>

#include "relay/web_server.h"

namespace quorvel::relay {

// The listener's page, served from the files of src/relay/web/ compiled into the
// binary: the same page for every link (it reads the link id from its own address),
// its scripts, styles and worklet under /listener/. Cross-origin isolated (the player
// shares memory with its audio worklet) and allowed nothing from elsewhere.

// GET /l/{id}: the page; 404 when the link does not exist or has ended (the page then
// says so when it tries to join). `ifNoneMatch` is the request's If-None-Match header.
HttpResponse listenerPage(bool linkLive, std::string_view ifNoneMatch);
// GET /listener/{name}: one of the page's files; 404 for any other name.
HttpResponse listenerFile(std::string_view name, std::string_view ifNoneMatch);

}  // namespace quorvel::relay
