#pragma once

#include <QIcon>
#include <string_view>

#include "app/menu_model.h"

namespace quorvel::tray {

// Our own images, by the names the application knows them by ("MenuIcon",
// "MenuLogoDark", "MenuLogoLight"). Vector artwork: sharp at any scale. A null icon
// when there is no image by that name.
QIcon namedImage(std::string_view name);

// The status icon: a monochrome badge whose bars are cut out of it, readable on
// light and dark panels. A tint colours only its opaque pixels, so the bars stay
// visible; each tint is made once per process.
QIcon menuIcon(app::Tint tint);

// The application's icon (installed in the hicolor theme as "quorvel").
QIcon applicationIcon();

}  // namespace quorvel::tray
