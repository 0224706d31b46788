// config.json is written by hand or by tools outside the application.
#include <cstdint>
#include <string_view>

#include "check.h"
#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using quorvel::Config;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Config config = Config::fromSources("", "stored-key", text, std::nullopt);
    // Whatever the file says, the client ends up with an address it can use.
    FUZZ_REQUIRE(quorvel::isValidURL(config.serverURL));
    FUZZ_REQUIRE(config.senderKey.has_value());
    for (const std::string_view path : {"/api/pair", "/api/device/sessions/a b%/end"})
        if (const auto url = config.apiURL(path)) FUZZ_REQUIRE(quorvel::isValidURL(*url));
    return 0;
}
