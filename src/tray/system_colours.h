#pragma once

#include <QColor>
#include <QPalette>

namespace quorvel::tray {

// Whether a palette is a dark one. Qt 6.4 has no colour-scheme hint, so the
// lightness of the window colour decides.
bool isDark(const QPalette& palette);

// The signal colours of the menu: the same hues on every desktop, a little lighter
// on a dark palette.
enum class SignalColour { red, orange, yellow, green };
QColor signalColour(SignalColour colour, bool dark);

// Text and fills of decreasing emphasis: the palette's text colour, more and more
// transparent, so that they suit any background the palette comes with.
enum class LabelColour { secondary, tertiary, quaternary };
QColor labelColour(const QPalette& palette, LabelColour colour);

}  // namespace quorvel::tray
