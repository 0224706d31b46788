#include "text/graphemes.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "text/utf8.h"

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
#include "text/grapheme_table.inc"
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

}  // namespace

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

}  // namespace quorvel::text
