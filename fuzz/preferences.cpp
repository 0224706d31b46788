// preferences.json can be edited, truncated or replaced by anything running as the
// user; whatever it holds, a write must leave a file that reads back.
#include <cstdint>
#include <string_view>

#include "check.h"
#include "config/preferences.h"
#include "json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace Preferences = quorvel::Preferences;
    namespace json = quorvel::json;
    const auto values = Preferences::fromText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!values) return 0;
    const auto stored = Preferences::fromText(Preferences::toText(*values, "session", "s“1”"));
    FUZZ_REQUIRE(stored);
    FUZZ_REQUIRE(json::string(json::member(*stored, "session")) == "s“1”");
    FUZZ_REQUIRE(stored->size() == values->size() + (values->contains("session") ? 0 : 1));
    for (const auto& [key, value] : *values)
        if (key != "session" && value.is_string()) FUZZ_REQUIRE(json::string(json::member(*stored, key)) == value.as_string());
    const auto removed = Preferences::fromText(Preferences::toText(*stored, "deviceName", std::nullopt));
    FUZZ_REQUIRE(removed && !removed->contains("deviceName"));
    return 0;
}
