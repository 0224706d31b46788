#include "tray/system_colours.h"

namespace quorvel::tray {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor signalColour(SignalColour colour, bool dark) {
    switch (colour) {
        case SignalColour::red: return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xff, 0x3b, 0x30);
        case SignalColour::orange: return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xff, 0x95, 0x00);
        case SignalColour::yellow: return dark ? QColor(0xff, 0xd6, 0x0a) : QColor(0xff, 0xcc, 0x00);
        case SignalColour::green: return dark ? QColor(0x30, 0xd1, 0x58) : QColor(0x34, 0xc7, 0x59);
    }
    return {};
}

QColor labelColour(const QPalette& palette, LabelColour colour) {
    QColor result = palette.color(QPalette::WindowText);
    switch (colour) {
        case LabelColour::secondary: result.setAlphaF(0.6f); break;
        case LabelColour::tertiary: result.setAlphaF(0.3f); break;
        case LabelColour::quaternary: result.setAlphaF(0.18f); break;
    }
    return result;
}

}  // namespace quorvel::tray
