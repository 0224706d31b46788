#include "text/trim.h"

#include "text/utf8.h"

namespace quorvel::text {

namespace {

bool isSpaceOrTab(char32_t cp) {
    return cp == U'\t' || cp == U' ' || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::string trimSpacesAndTabs(std::string_view utf8) {
    std::size_t begin = 0;
    std::size_t end = 0;  // one past the last code point that is kept
    bool seenKept = false;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::size_t start = pos;
        if (isSpaceOrTab(nextCodePoint(utf8, pos))) continue;
        if (!seenKept) begin = start;
        seenKept = true;
        end = pos;
    }
    return seenKept ? std::string(utf8.substr(begin, end - begin)) : std::string();
}

}  // namespace quorvel::text
