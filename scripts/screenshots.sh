#!/usr/bin/env bash
# The README's screenshots, from the real program: the tray under Xvfb with trayer, a
# private audio server and a local relay, driven with xdotool and captured with
# ImageMagick into docs/screenshots/; then the panel and the shell's menu on sway and
# GNOME (scripts/screenshots-desktops.sh). Needs a build (scripts/build.sh default
# quorvel quorvel-relay) and the tray's test tools.
#
#   scripts/screenshots.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || exec dbus-run-session -- scripts/with-test-services.sh "$0" "$@"
bus=$DBUS_SESSION_BUS_ADDRESS
out=$(pwd)/docs/screenshots
source scripts/demo-lib.sh
demo_init "$(pwd)"
export DBUS_SESSION_BUS_ADDRESS=$bus
source scripts/tray-lib.sh
mkdir -p "$out"

# shot NAME GEOMETRY: the part of the screen the menu (or dialog) is in.
shot() {
  sleep 0.6
  import -window root -crop "$2" +repage "$out/$1.png"
  echo "$out/$1.png"
}

tray_prepare 'input|1|quorvel-test-stereo'
tray_display
tray_start
tray_wait 10 tray_docked || demo_die "the icon did not dock"
sleep 2  # the links listed

tray_pop_menu || demo_die "the menu did not open"
shot menu-off 420x300+604+0
# Setup Stream…: after the title, the meter, Start Stream and Input Source.
xdotool key Down Down Down Down Down Return
shot dialog-setup-stream 440x250+286+222
xdotool key Escape
sleep 0.5

tray_start_stream || demo_die "Start Stream did not reach the relay"
sleep 2
tray_pop_menu || demo_die "the menu did not open"
shot menu-on-air 420x300+604+0
# The link's own commands: after the title, the meter, Stop Stream and Setup Stream….
xdotool key Down Down Down Down Down Right
shot menu-link 620x300+404+0
xdotool key Escape Escape

# The panel and the shell's menu on sway and GNOME (where those desktops are installed).
desktop_shots=$(mktemp -d)
chmod 777 "$desktop_shots"
if scripts/screenshots-desktops.sh "$desktop_shots" >"$demo/desktops.log" 2>&1; then
  cp "$desktop_shots"/*.png "$out"/
  ls "$out"/sway-*.png "$out"/gnome-*.png
else
  echo "no desktop screenshots: $(tail -n 3 "$demo/desktops.log")"
fi
rm -rf "$desktop_shots"
