#include "text/utf8.h"

#include <optional>

namespace quorvel::text {

namespace {

// The well-formed sequence starting at byte `pos`: its code point and length.
struct Sequence {
    char32_t codePoint;
    std::size_t length;
};

std::optional<Sequence> decode(std::string_view utf8, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) return Sequence{lead, 1};
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (pos + length > utf8.size()) return std::nullopt;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return Sequence{cp, length};
}

}  // namespace

bool isValidUTF8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const auto sequence = decode(text, pos);
        if (!sequence) return false;
        pos += sequence->length;
    }
    return true;
}

char32_t nextCodePoint(std::string_view utf8, std::size_t& pos) {
    const auto sequence = decode(utf8, pos);
    if (!sequence) {
        ++pos;
        return 0xFFFD;
    }
    pos += sequence->length;
    return sequence->codePoint;
}

}  // namespace quorvel::text
