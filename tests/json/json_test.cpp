#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "json/json.h"

namespace quorvel {
namespace {

std::optional<std::int64_t> integralOf(const std::string& text) {
    const auto object = json::parseObject(R"({"n":)" + text + "}");
    if (!object) return std::nullopt;
    return json::integral(json::member(*object, "n"));
}

TEST(JsonTest, IntegralValuesAreDecidedOnTheParsedKind) {
    EXPECT_EQ(integralOf("2"), 2);
    EXPECT_EQ(integralOf("2.0"), 2);
    EXPECT_EQ(integralOf("2e0"), 2);
    EXPECT_EQ(integralOf("-0.0"), 0);
    EXPECT_EQ(integralOf("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(integralOf("-9223372036854775808"), INT64_MIN);
    for (const char* bad : {"2.5", "\"2\"", "true", "null", "[2]", "9223372036854775808", "1e19",
                            "9.223372036854775807e18"})
        EXPECT_EQ(integralOf(bad), std::nullopt) << bad;
}

TEST(JsonTest, NumbersThatAreNotFiniteAreWrittenAsNull) {
    const auto read = json::parse(R"({"a":1e400,"b":[-1e400,{"c":1e999}],"d":2.5})");
    ASSERT_TRUE(read);
    boost::json::value value = *read;
    value.as_object()["e"] = std::numeric_limits<double>::quiet_NaN();
    const std::string text = json::serialize(value);
    EXPECT_EQ(text, R"({"a":null,"b":[null,{"c":null}],"d":2.5E0,"e":null})");
    EXPECT_TRUE(json::parse(text));
}

TEST(JsonTest, ACountIsNeverNegative) {
    const auto object = json::parseObject(R"({"zero":-0.0,"three":3,"minus":-1,"half":0.5})");
    ASSERT_TRUE(object);
    EXPECT_EQ(json::count(json::member(*object, "zero")), 0);
    EXPECT_EQ(json::count(json::member(*object, "three")), 3);
    EXPECT_EQ(json::count(json::member(*object, "minus")), std::nullopt);
    EXPECT_EQ(json::count(json::member(*object, "half")), std::nullopt);
}

TEST(JsonTest, NumbersAndStrings) {
    const auto object = json::parseObject(R"({"t":1.5,"s":5050,"b":true,"x":"y"})");
    ASSERT_TRUE(object);
    EXPECT_EQ(json::number(json::member(*object, "t")), 1.5);
    EXPECT_EQ(json::number(json::member(*object, "s")), 5050.0);
    EXPECT_EQ(json::number(json::member(*object, "b")), std::nullopt);
    EXPECT_EQ(json::number(json::member(*object, "missing")), std::nullopt);
    EXPECT_EQ(json::string(json::member(*object, "x")), "y");
    EXPECT_EQ(json::string(json::member(*object, "t")), std::nullopt);
}

TEST(JsonTest, HostileTextIsRefusedWithoutThrowing) {
    const auto huge = json::parseObject(R"({"n":1e400})");  // Boost.JSON reads it as infinity
    ASSERT_TRUE(huge);
    EXPECT_EQ(json::number(json::member(*huge, "n")), std::nullopt);
    EXPECT_EQ(json::integral(json::member(*huge, "n")), std::nullopt);
    EXPECT_FALSE(json::parse("NaN"));
    EXPECT_FALSE(json::parse("{\"a\":\"\xff\"}"));
    EXPECT_FALSE(json::parse(std::string(100000, '[')));
    EXPECT_FALSE(json::parse(std::string(40, '[') + std::string(40, ']')));
    EXPECT_TRUE(json::parse(std::string(20, '[') + std::string(20, ']')));
    EXPECT_FALSE(json::parseObject("[1]"));
}

}  // namespace
}  // namespace quorvel
