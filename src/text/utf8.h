#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel::text {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(std::string_view text);

// The code point starting at byte `pos` of UTF-8 text, advancing `pos` past it. A byte
// that does not start a well-formed sequence reads as U+FFFD and advances by one.
char32_t nextCodePoint(std::string_view utf8, std::size_t& pos);

}  // namespace quorvel::text
