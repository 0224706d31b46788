#include "app/text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace quorvel::text {

namespace {

enum class GraphemeClass : std::uint8_t {
    other, cr, lf, control, extend, zwj, regionalIndicator, prepend, spacingMark,
    l, v, t, lv, lvt, extendedPictographic,
};

struct ClassRange {
    char32_t first;
    char32_t last;
    GraphemeClass cls;
};

constexpr ClassRange classRanges[] = {
#include "app/grapheme_table.inc"
};

GraphemeClass classOf(char32_t cp) {
    auto it = std::upper_bound(std::begin(classRanges), std::end(classRanges), cp,
                               [](char32_t value, const ClassRange& r) { return value < r.first; });
    if (it == std::begin(classRanges)) return GraphemeClass::other;
    --it;
    return cp <= it->last ? it->cls : GraphemeClass::other;
}

bool isControlLike(GraphemeClass c) {
    return c == GraphemeClass::cr || c == GraphemeClass::lf || c == GraphemeClass::control;
}

// Break state carried along a string: what the emoji-sequence and flag-pair rules
// need to know about the code points before the current one.
struct BreakState {
    GraphemeClass previous = GraphemeClass::other;
    bool pictographicThenExtends = false;  // ExtPict Extend* so far
    bool pictographicThenZwj = false;      // ExtPict Extend* ZWJ just before
    int regionalRun = 0;                   // regional indicators just before
};

// Whether a cluster boundary lies between the previous code point and `next`
// (the rules of extended grapheme clusters, in their order of precedence).
bool breaksBefore(const BreakState& s, GraphemeClass next) {
    using C = GraphemeClass;
    const C prev = s.previous;
    if (prev == C::cr && next == C::lf) return false;
    if (isControlLike(prev) || isControlLike(next)) return true;
    if (prev == C::l && (next == C::l || next == C::v || next == C::lv || next == C::lvt)) return false;
    if ((prev == C::lv || prev == C::v) && (next == C::v || next == C::t)) return false;
    if ((prev == C::lvt || prev == C::t) && next == C::t) return false;
    if (next == C::extend || next == C::zwj || next == C::spacingMark) return false;
    if (prev == C::prepend) return false;
    if (s.pictographicThenZwj && next == C::extendedPictographic) return false;
    if (prev == C::regionalIndicator && next == C::regionalIndicator) return s.regionalRun % 2 == 0;
    return true;
}

void advance(BreakState& s, GraphemeClass c) {
    using C = GraphemeClass;
    s.pictographicThenZwj = s.pictographicThenExtends && c == C::zwj;
    s.pictographicThenExtends =
        c == C::extendedPictographic || (s.pictographicThenExtends && c == C::extend);
    s.regionalRun = c == C::regionalIndicator ? s.regionalRun + 1 : 0;
    s.previous = c;
}

bool isSpaceOrTab(char32_t cp) {
    return cp == U'\t' || cp == U' ' || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

}  // namespace

char32_t nextCodePoint(std::string_view utf8, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(utf8[i]); };
    const unsigned char lead = byte(pos);
    int length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && pos + length <= utf8.size();
    for (int i = 1; valid && i < length; ++i) {
        const unsigned char b = byte(pos + i);
        valid = (b & 0xC0) == 0x80;
        cp = (cp << 6) | (b & 0x3F);
    }
    valid = valid && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!valid) {
        ++pos;
        return 0xFFFD;
    }
    pos += length;
    return cp;
}

std::size_t graphemeCount(std::string_view utf8) {
    std::size_t count = 0;
    BreakState state;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const GraphemeClass c = classOf(nextCodePoint(utf8, pos));
        if (count == 0 || breaksBefore(state, c)) ++count;
        advance(state, c);
    }
    return count;
}

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
