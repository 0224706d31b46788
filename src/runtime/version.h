#pragma once

#include <string_view>

namespace quorvel {

// The version of this build, from the source's git history (see cmake/Version.cmake);
// the same string names the Debian packages.
std::string_view version();

}  // namespace quorvel
