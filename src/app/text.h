#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel::text {

// The code point starting at byte `pos` of UTF-8 text, advancing `pos` past it. A byte
// that does not start a well-formed sequence reads as U+FFFD and advances by one.
char32_t nextCodePoint(std::string_view utf8, std::size_t& pos);

// Number of user-perceived characters (extended grapheme clusters) of UTF-8 text.
std::size_t graphemeCount(std::string_view utf8);

// `utf8` without spaces and tabs (Unicode space separators and U+0009) at either end;
// line breaks are kept.
std::string trimSpacesAndTabs(std::string_view utf8);

}  // namespace quorvel::text
