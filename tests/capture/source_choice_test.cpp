#include <gtest/gtest.h>

#include "capture/source_choice.h"

namespace quorvel {
namespace {

std::optional<SourceChoice> decode(std::string_view key) { return SourceChoice::fromKey(key); }

TEST(SourceChoiceTest, DirectIsExact) {
    EXPECT_EQ(decode("direct"), SourceChoice::direct());
    EXPECT_EQ(SourceChoice::direct().key(), "direct");
    EXPECT_EQ(decode("Direct"), std::nullopt);
    EXPECT_EQ(decode(" direct"), std::nullopt);
    EXPECT_EQ(decode(""), std::nullopt);
}

TEST(SourceChoiceTest, InputRoundTrips) {
    EXPECT_EQ(decode("input|3|DEV-A"), SourceChoice::input("DEV-A", 3));
    EXPECT_EQ(SourceChoice::input("DEV-A", 3).key(), "input|3|DEV-A");
    EXPECT_EQ(decode("input|1|a|b"), SourceChoice::input("a|b", 1));
    EXPECT_EQ(SourceChoice::input("a|b", 1).key(), "input|1|a|b");
    EXPECT_EQ(SourceChoice::input("X", -2).key(), "input|-2|X");
}

TEST(SourceChoiceTest, EmptyFieldsAreDroppedBeforeTheThird) {
    EXPECT_EQ(decode("input||5|X"), SourceChoice::input("X", 5));
    EXPECT_EQ(decode("input|5||X"), SourceChoice::input("|X", 5));
    EXPECT_EQ(decode("|input|5|X"), SourceChoice::input("X", 5));
    EXPECT_EQ(decode("||input|||5|X||"), SourceChoice::input("X||", 5));
}

TEST(SourceChoiceTest, SignsAndRange) {
    EXPECT_EQ(decode("input|+5|X"), SourceChoice::input("X", 5));
    EXPECT_EQ(decode("input|+5|X")->key(), "input|5|X");
    EXPECT_EQ(decode("input|-2|X"), SourceChoice::input("X", -2));
    EXPECT_EQ(decode("input|9223372036854775807|X"), SourceChoice::input("X", INT64_MAX));
    EXPECT_EQ(decode("input|-9223372036854775808|X"), SourceChoice::input("X", INT64_MIN));
    EXPECT_EQ(decode("input|9223372036854775808|X"), std::nullopt);
    EXPECT_EQ(decode("input|99999999999999999999|X"), std::nullopt);
}

TEST(SourceChoiceTest, InvalidKeys) {
    for (const char* key : {"input|5|", "input|5", "input|x|X", "input| 5|X", "input||X", "input|+|X",
                            "input|-|X", "input|+-5|X", "input|--5|X", "input|5 |X", "output|5|X",
                            "Input|5|X", "input", "|||"})
        EXPECT_EQ(decode(key), std::nullopt) << key;
}

}  // namespace
}  // namespace quorvel
