#!/usr/bin/env bash
# The README's screenshots of the tray on sway with waybar and on GNOME Shell with the
# AppIndicator extension (headless, Wayland), from the real program on air: the panel
# on both, and on GNOME the menu the shell draws. Needs a build (scripts/build.sh
# default quorvel quorvel-relay) and the desktop packages; run as root, it runs as a
# user of its own, so DIR must be writable by that user (scripts/screenshots.sh
# passes one and copies the pictures into docs/screenshots/).
#
#   scripts/screenshots-desktops.sh DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/desktop-lib.sh"
desktop_require
desktop_user "$root/scripts/screenshots-desktops.sh" "$(cd "$1" && pwd)"
out=$1
source "$root/scripts/demo-lib.sh"
demo_init "$root"
trap desktop_cleanup EXIT
desktop_session
demo_pair_and_link >/dev/null
demo_remember_choices "$session"

on_air_with_panel() {
  start_tray
  wait_for 10 shown "Start Stream" || desktop_fail "Start Stream is not enabled: $(labels)"
  click "Start Stream" >/dev/null
  wait_for 10 shown "Stop Stream" || desktop_fail "the stream did not start"
  sleep 2
  activate >/dev/null
  wait_for 10 panel_open || desktop_fail "the panel did not open"
  sleep 1
}

desktop_sway
on_air_with_panel
panel_shot "$out/sway-panel.png"
click Quit >/dev/null
wait "$tray_pid" || true
tray_pid=
desktop_sway_stop

desktop_gnome
on_air_with_panel
panel_shot "$out/gnome-panel.png"
activate >/dev/null
wait_for 5 panel_closed || desktop_fail "the panel did not close"
# The shell's own menu of the item, opened as a click opens it; the top right corner.
shell_eval "const Main = imports.ui.main; Object.keys(Main.panel.statusArea)
  .filter(k => k.includes('appindicator') || k.includes('StatusNotifierItem'))
  .forEach(k => Main.panel.statusArea[k].menu.open()); 1" >/dev/null
sleep 1
gdbus call --session -d org.gnome.Shell.Screenshot -o /org/gnome/Shell/Screenshot \
  -m org.gnome.Shell.Screenshot.ScreenshotArea 880 0 400 560 false "$out/gnome-menu.png" >/dev/null
click Quit >/dev/null
wait "$tray_pid" || true
tray_pid=
ls "$out"/*.png
