// Source keys are read back from preferences.json, which anything running as the user
// can rewrite.
#include <cstdint>
#include <string_view>

#include "capture/source_choice.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using quorvel::SourceChoice;
    const auto choice = SourceChoice::fromKey(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!choice) return 0;
    // The key a choice is stored under stands for that same choice.
    const auto again = SourceChoice::fromKey(choice->key());
    FUZZ_REQUIRE(again && *again == *choice);
    FUZZ_REQUIRE(choice->kind() == SourceChoice::Kind::direct || !choice->uid().empty());
    return 0;
}
