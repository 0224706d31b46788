#pragma once

#include <string>

namespace quorvel::relay {

// The self-contained page behind a link (no outside resources): asks for the client
// password, joins /ws/listen and plays the packets with Web Audio.
std::string listenerPageHtml(const std::string& linkName);
// The page for a link that does not exist or has ended.
std::string missingLinkPageHtml();

std::string escapeHtml(const std::string& text);

}  // namespace quorvel::relay
