#pragma once

namespace quorvel::app {

// A rectangle in points, origin at the bottom left of its view.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Rect&) const = default;
};

}  // namespace quorvel::app
