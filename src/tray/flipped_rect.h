#pragma once

#include <QRectF>

#include "app/geometry.h"

namespace quorvel::tray {

// The application's layouts have their origin at the bottom left of the view; Qt's
// is at the top left.
inline QRectF flipped(const app::Rect& rect, double viewHeight) {
    return {rect.x, viewHeight - rect.y - rect.height, rect.width, rect.height};
}

}  // namespace quorvel::tray
