#include <gtest/gtest.h>

#include "text/graphemes.h"
#include "text/trim.h"

namespace quorvel::text {
namespace {

TEST(GraphemeCountTest, ClustersNotCodePointsOrBytes) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("жёлтый"), 6u);
    EXPECT_EQ(graphemeCount("e\u0301"), 1u);                      // combining mark
    EXPECT_EQ(graphemeCount("\r\n"), 1u);                         // CR LF
    EXPECT_EQ(graphemeCount("\n\r"), 2u);
    EXPECT_EQ(graphemeCount("\u1100\u1161\u11A8"), 1u);           // Hangul L V T
    EXPECT_EQ(graphemeCount("\uAC00\u11A8"), 1u);                 // LV T
    EXPECT_EQ(graphemeCount("\U0001F1FA\U0001F1F8\U0001F1EB"), 2u);  // a flag and a lone indicator
    EXPECT_EQ(graphemeCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);  // family
    EXPECT_EQ(graphemeCount("\U0001F44D\U0001F3FD"), 1u);         // skin tone modifier
    EXPECT_EQ(graphemeCount("a\u200D\U0001F469"), 2u);            // ZWJ after a letter joins nothing
    EXPECT_EQ(graphemeCount("\u0915\u093F"), 1u);                 // Devanagari spacing mark
    EXPECT_EQ(graphemeCount("\u0600\u0661"), 1u);                 // prepended
    EXPECT_EQ(graphemeCount("\u2764\uFE0F"), 1u);                 // variation selector
    EXPECT_EQ(graphemeCount("\u0301"), 1u);                       // a mark alone
}

TEST(GraphemeCountTest, AgreesWithTheReferenceOnRandomMixes) {
    struct Vector {
        std::size_t clusters;
        const char* utf8;
    };
    const Vector vectors[] = {
#include "text/grapheme_vectors.inc"
    };
    for (const Vector& v : vectors) EXPECT_EQ(graphemeCount(v.utf8), v.clusters) << v.utf8;
}

TEST(GraphemeCountTest, MalformedBytesCountOneEach) {
    EXPECT_EQ(graphemeCount("a\xFF\xFE"), 3u);
    EXPECT_EQ(graphemeCount("\xE2\x82"), 2u);          // truncated sequence
    EXPECT_EQ(graphemeCount("\xC0\xAF"), 2u);          // overlong
    EXPECT_EQ(graphemeCount("\xED\xA0\x80"), 3u);      // surrogate
}

TEST(TrimTest, SpacesAndTabsButNotLineBreaks) {
    EXPECT_EQ(trimSpacesAndTabs("  name\t"), "name");
    EXPECT_EQ(trimSpacesAndTabs("\u00A0\u2003a b\u3000\u202F"), "a b");
    EXPECT_EQ(trimSpacesAndTabs("\nname\n"), "\nname\n");
    EXPECT_EQ(trimSpacesAndTabs(" \t "), "");
    EXPECT_EQ(trimSpacesAndTabs(""), "");
    EXPECT_EQ(trimSpacesAndTabs("\u200Bx"), "\u200Bx");  // zero-width space is not a space separator
}

}  // namespace
}  // namespace quorvel::text
