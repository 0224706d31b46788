#include <gtest/gtest.h>

#include "config/config.h"

namespace quorvel {
namespace {

Config at(std::string url) { return Config{std::move(url), std::nullopt, std::nullopt}; }

TEST(ConfigTest, ApiURLSwapsSchemeAndPath) {
    EXPECT_EQ(at("ws://relay.example:8080/ws/send?x=1").apiURL("/api/device/sessions/list"),
              "http://relay.example:8080/api/device/sessions/list");
    EXPECT_EQ(at("wss://relay.example:8443/ws/send").apiURL("/api/pair"), "https://relay.example:8443/api/pair");
    EXPECT_EQ(at("http://relay.example/ws/send").apiURL("/api/pair"), "https://relay.example/api/pair");
    EXPECT_EQ(at("https://relay.example/ws/send").apiURL("/api/pair"), "https://relay.example/api/pair");
    EXPECT_EQ(at("WS://relay.example/ws/send").apiURL("/api/pair"), "https://relay.example/api/pair");
}

TEST(ConfigTest, ApiURLKeepsUserInfoIPv6PortAndFragment) {
    EXPECT_EQ(at("ws://user:pa%20ss@[::1]:9000/ws/send?q#frag").apiURL("/api/pair"),
              "http://user:pa%20ss@[::1]:9000/api/pair#frag");
    EXPECT_EQ(at("wss://127.0.0.1/ws/send").apiURL("/api/pair"), "https://127.0.0.1/api/pair");
}

TEST(ConfigTest, ApiURLPercentEncodesThePath) {
    EXPECT_EQ(at("ws://h/ws/send").apiURL("/api/device/sessions/a b/end"), "http://h/api/device/sessions/a%20b/end");
    EXPECT_EQ(at("ws://h/ws/send").apiURL("/api/device/sessions/50%?/end"),
              "http://h/api/device/sessions/50%25%3F/end");
}

TEST(ConfigTest, ApiURLWithoutSchemeUsesHttps) {
    const auto url = at("//relay.example/ws/send").apiURL("/api/pair");
    EXPECT_EQ(url, "https://relay.example/api/pair");
}

TEST(ConfigTest, ApiURLAbsentForUnparsableAddress) {
    EXPECT_EQ(at("").apiURL("/api/pair"), std::nullopt);
    EXPECT_EQ(at("ws://bad host/ws/send").apiURL("/api/pair"), std::nullopt);
}

TEST(ConfigTest, DefaultServerIsSecureSendAddress) {
    EXPECT_TRUE(Config::defaultServer.starts_with("wss://"));
    EXPECT_TRUE(Config::defaultServer.ends_with("/ws/send"));
    const auto pair = at(Config::defaultServer).pairURL();
    ASSERT_TRUE(pair);
    EXPECT_TRUE(pair->starts_with("https://"));
    EXPECT_TRUE(pair->ends_with("/api/pair"));
}

}  // namespace
}  // namespace quorvel
