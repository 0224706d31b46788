#pragma once

class QWidget;

namespace quorvel::tray {

// Brings a window of ours to the front with the keyboard. A tray application is never
// the active one when its window appears (the click went to the tray host), so window
// managers that prevent focus stealing would leave the window behind without the
// keyboard. On Wayland, Qt asks the compositor, with the activation token the launcher
// gave when there is one. On X11 (Xwayland too) the window manager is asked as a pager
// asks, with a fresh server time, once the window is on screen.
void bringToFront(QWidget& window);

}  // namespace quorvel::tray
