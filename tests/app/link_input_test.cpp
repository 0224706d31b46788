#include <gtest/gtest.h>

#include "app/link_input.h"

namespace quorvel {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(LinkInputTest, TrimsSpaceSeparatorsAndTabsButNotLineBreaks) {
    EXPECT_EQ(trimLinkName("  Mix A \t"), "Mix A");
    EXPECT_EQ(trimLinkName("\u00A0\u2003Mix\u3000"), "Mix");  // no-break, em and ideographic spaces
    EXPECT_EQ(trimLinkName("\nMix\n"), "\nMix\n");
    EXPECT_EQ(trimLinkName(" \t "), "");
    EXPECT_EQ(trimLinkName(""), "");
}

TEST(LinkInputTest, CountsUserPerceivedCharacters) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("e\u0301"), 1u);                            // e + combining acute
    EXPECT_EQ(graphemeCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);  // family emoji
    EXPECT_EQ(graphemeCount("\U0001F1FA\U0001F1E6"), 1u);               // flag
    EXPECT_EQ(graphemeCount("Привет"), 6u);
    EXPECT_EQ(graphemeCount("\r\n"), 1u);
}

TEST(LinkInputTest, NameLimits) {
    EXPECT_EQ(checkLinkName(trimLinkName("   ")),
              (LinkInputProblem{LinkInputProblem::Field::name, "Enter a name (up to 80 characters)."}));
    EXPECT_FALSE(checkLinkName(repeat("ж", 80)));
    EXPECT_TRUE(checkLinkName(repeat("ж", 81)));
    EXPECT_FALSE(checkLinkName(repeat("e\u0301", 80))) << "160 code points, 80 characters";
}

TEST(LinkInputTest, PasswordLimitsAndOrder) {
    const LinkInputProblem password{LinkInputProblem::Field::password,
                                    "The client password must be 4 to 100 characters."};
    EXPECT_EQ(checkLinkPassword("abc"), password);
    EXPECT_FALSE(checkLinkPassword("abcd"));
    EXPECT_FALSE(checkLinkPassword("  ab")) << "untrimmed: leading spaces count";
    EXPECT_FALSE(checkLinkPassword(repeat("x", 100)));
    EXPECT_EQ(checkLinkPassword(repeat("x", 101)), password);
    EXPECT_EQ(checkLinkPassword("\U0001F1FA\U0001F1E6\U0001F1FA\U0001F1E6\U0001F1FA\U0001F1E6"), password);
    // Both wrong: the name's message comes first.
    EXPECT_EQ(checkLinkInput("", "x")->field, LinkInputProblem::Field::name);
    EXPECT_EQ(checkLinkInput("Mix", "x"), password);
    EXPECT_FALSE(checkLinkInput("Mix", "pass"));
}

TEST(LinkInputTest, ListenerLimit) {
    for (long long n : {0LL, 6LL, -1LL})
        EXPECT_EQ(checkListenerLimit(n)->text, "Choose how many listeners (1 to 5).");
    for (long long n : {1LL, 5LL}) EXPECT_FALSE(checkListenerLimit(n));
}

}  // namespace
}  // namespace quorvel
