#pragma once

#include <string_view>

namespace quorvel::AudioSources {

// A process or application belongs to Pro Tools when its application identity
// begins with these characters (case-sensitive).
inline constexpr std::string_view proToolsBundlePrefix = "com.avid.ProTools";

// Menu title of the "direct" choice.
inline constexpr std::string_view directTitle = "ProTools Output";

inline bool isProTools(std::string_view applicationIdentity) {
    return applicationIdentity.starts_with(proToolsBundlePrefix);
}

// Whether the Pro Tools output can be captured on this machine: an audio server
// that supports a tap or a per-application monitor is reachable.
bool directAvailable();

}  // namespace quorvel::AudioSources
