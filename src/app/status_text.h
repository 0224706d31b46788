#pragma once

#include <cstdint>
#include <string>

#include "app/app_state.h"
#include "app/menu_model.h"

namespace quorvel::app {

// What the status line, the detail line, the icon and the title label show for a state.
struct StatusView {
    std::string status;  // empty: line hidden
    std::string detail;  // empty: line hidden
    Tint tint = Tint::none;
    bool live = false;

    bool operator==(const StatusView&) const = default;
};

StatusView statusView(const AppState& state);

// "48 kHz · 24-bit", "44.1 kHz · 24-bit" (always with a decimal point).
std::string rateText(std::int64_t sampleRate);

inline constexpr std::string_view warningPrefix = "\u26A0\uFE0E ";

}  // namespace quorvel::app
