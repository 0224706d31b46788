#pragma once

#include <string>
#include <string_view>

#include "app/geometry.h"

namespace quorvel::app {

// The first row of the status menu: the product logo and a short state label,
// "ON AIR" while audio is live and "Off" when not broadcasting. The renderer draws
// what this holds.
class MenuTitle {
public:
    static constexpr double width = 260;
    static constexpr double height = 36;
    static constexpr double logoWidth = 119;
    static constexpr double logoHeight = 24;

    enum class Font { menu, semiboldControl };  // menu font; semibold system font at control size
    enum class Colour { standard, red, tertiaryLabel };

    struct Layout {
        Rect logo;
        Rect label;
    };
    static Layout layout(double frameWidth, double frameHeight);
    // The logo image for the appearance: "MenuLogoDark" or "MenuLogoLight".
    static std::string_view logoName(bool dark);

    // live wins over off; neither empties the text and leaves font and colour alone.
    void set(bool live, bool off);

    const std::string& text() const { return text_; }
    Font font() const { return font_; }
    Colour colour() const { return colour_; }

    bool operator==(const MenuTitle&) const = default;

private:
    std::string text_;
    Font font_ = Font::menu;
    Colour colour_ = Colour::standard;
};

}  // namespace quorvel::app
