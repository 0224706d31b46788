#include "app/menu_title.h"

namespace quorvel::app {

MenuTitle::Layout MenuTitle::layout(double frameWidth, double frameHeight) {
    constexpr double logoX = 14;
    constexpr double gap = 12;
    constexpr double rightMargin = 14;
    constexpr double labelHeight = 17;
    Layout result;
    result.logo = {logoX, (frameHeight - logoHeight) * 0.5, logoWidth, logoHeight};
    const double labelX = result.logo.x + result.logo.width + gap;
    result.label = {labelX, (frameHeight - labelHeight) * 0.5, frameWidth - labelX - rightMargin, labelHeight};
    return result;
}

std::string_view MenuTitle::logoName(bool dark) {
    return dark ? "MenuLogoDark" : "MenuLogoLight";
}

void MenuTitle::set(bool live, bool off) {
    if (live) {
        text_ = "ON AIR";
        font_ = Font::semiboldControl;
        colour_ = Colour::red;
    } else if (off) {
        text_ = "Off";
        font_ = Font::menu;
        colour_ = Colour::tertiaryLabel;
    } else {
        text_.clear();
    }
}

}  // namespace quorvel::app
