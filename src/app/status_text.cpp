#include "app/status_text.h"

#include <charconv>
#include <cmath>

namespace quorvel::app {

namespace {

std::string warning(const std::string& text) {
    return std::string(warningPrefix) + text;
}

// The first matching row for a paired computer on air.
StatusView onAirRow(const AppState& s) {
    using K = SenderState::Kind;
    if (!s.source) return {warning("Choose an input source in the menu"), "", Tint::orange, false};
    if (s.problem) return {warning(*s.problem), "", Tint::orange, false};
    switch (s.netState.kind) {
        case K::off: return {"", "", Tint::none, false};
        case K::connecting: return {"Connecting to server…", "", Tint::orange, false};
        case K::connected:
            if (s.capture) return {"", "", Tint::green, true};
            return {"Connected, waiting for audio", "", Tint::orange, false};
        case K::reconnecting: return {"No connection to server, reconnecting…", "", Tint::orange, false};
        case K::failed: return {warning(s.netState.text), "", Tint::orange, false};
    }
    return {};
}

std::string detailText(const AppState& s) {
    std::string detail;
    const auto append = [&](const std::string& part) {
        if (!detail.empty()) detail += " · ";
        detail += part;
    };
    if (s.sampleRate > 0) append(rateText(s.sampleRate));
    if (s.netState.kind == SenderState::Kind::connected) append("listeners: " + std::to_string(s.listeners));
    return detail;
}

}  // namespace

std::string rateText(std::int64_t sampleRate) {
    const double k = static_cast<double>(sampleRate) / 1000;
    std::string number;
    if (k == std::trunc(k)) {
        number = std::to_string(static_cast<std::int64_t>(k));
    } else {
        // to_chars ignores the process locale, which may use a decimal comma.
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, k, std::chars_format::fixed, 1);
        number.assign(buffer, ec == std::errc() ? end : buffer);
    }
    return number + " kHz · 24-bit";
}

StatusView statusView(const AppState& s) {
    if (!s.paired()) return {"Connect this computer: “Connect to Server…”", "", Tint::none, false};
    if (s.mode == Mode::off) return {};
    StatusView view = onAirRow(s);
    view.detail = detailText(s);
    return view;
}

}  // namespace quorvel::app
