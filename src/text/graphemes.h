#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel::text {

// Number of user-perceived characters (extended grapheme clusters) of UTF-8 text; a
// malformed byte counts as one.
std::size_t graphemeCount(std::string_view utf8);

}  // namespace quorvel::text
