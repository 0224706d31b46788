#!/usr/bin/env bash
# The tray on the desktops people use, driven over D-Bus as their tray hosts drive it:
# sway with waybar, then GNOME Shell 43 with the AppIndicator extension, both headless
# on Wayland, with the private audio server, a local relay and a session bus with an
# unlocked keyring. Run as root it makes an ordinary user for itself (sway refuses
# root) and runs as that user.
#
# On each desktop: the item registers with the host's watcher and exports the menu;
# its layout holds the state's items; a "clicked" event on Start Stream goes on air (a
# listener receives audio) and the layout then says Stop Stream; Activate opens the
# panel as a window narrower than the screen, with the keyboard and the meter moving;
# Escape and a second Activate close it; a second quorvel shows it; Quit ends the
# tray with 0 after its connection closed with 1000. On sway the tray starts unpaired
# and is paired through the dialog opened from the menu, typed into with wtype; on GNOME
# the menu's item opens the panel too, and the tray then runs again on X11 through the
# shell's Xwayland, where its panel and dialogs must get the keyboard as well. Exits 77
# (skipped) where the desktops' packages are missing.
#
#   tests/tray/desktops.sh [BIN_DIR]     (default: build/default/src)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/desktop-lib.sh"
desktop_require
desktop_user "$root/tests/tray/desktops.sh" "$(cd "${1:-$root/build/default/src}" && pwd)"
bin_dir=$1
source "$root/scripts/demo-lib.sh"
demo_init "$root"
bin=$bin_dir
trap desktop_cleanup EXIT
desktop_session

on_air_count() { grep -c "on air: link $session" "$demo/relay.log" || true; }
# Start Stream from the host's menu: on air, a listener hears it, the menu says Stop Stream.
go_on_air() {
  local before received
  before=$(on_air_count)
  wait_for 10 shown "Start Stream" || desktop_fail "Start Stream is not enabled: $(labels)"
  click "Start Stream"
  # Counted at each try (as an argument it would be counted once, before the click).
  wait_for 10 eval '(($(on_air_count) > before))' || desktop_fail "Start Stream did not go on air"
  demo_hear 50 "$demo/heard.wav"
  received=$(sed -n 's/^Received \([0-9]*\) packets.*/\1/p' "$demo/listen.out")
  [[ ${received:-0} -ge 50 ]] || desktop_fail "the listener received ${received:-no} packets: $(cat "$demo/listen.err")"
  wait_for 5 shown "Stop Stream" || desktop_fail "the menu does not say Stop Stream"
  echo "on air: the listener received $received packets; the menu says Stop Stream"
}

# Activate opens the panel, with the keyboard and the meter moving.
open_panel() {
  local width height
  activate
  wait_for 10 panel_open || desktop_fail "Activate did not open the panel with the keyboard: $(windows)"
  IFS=$'\t' read -r _ width height _ <<<"$(windows | grep '^Velmora Remote Studio')"
  wait_for 5 meter_moves || desktop_fail "the panel's meter does not move"
  echo "panel: ${width}x$height on the 1280x800 screen, with the keyboard, the meter moving"
}

# Quit from the host's menu: the broadcast's connection closes with 1000 (as the relay
# saw it), then the tray exits 0.
quit_tray() {
  local closed status pattern=' send #[0-9]* closed: [1-9][0-9]* packets, .*, close code 1000$'
  closed=$(grep -c "$pattern" "$demo/relay.log" || true)
  click Quit
  wait_for 10 eval '! kill -0 $tray_pid' || desktop_fail "Quit did not end the tray"
  wait "$tray_pid" && status=0 || status=$?
  tray_pid=
  [[ $status -eq 0 ]] || desktop_fail "the tray exited with $status"
  # The relay logs the close as its answer to the tray's close frame leaves: a moment after.
  wait_for 5 eval '[[ $(grep -c "$pattern" "$demo/relay.log") -gt $closed ]]' ||
    desktop_fail "the relay did not see the broadcast close with 1000"
  echo "quit: exit 0 after $(grep -o 'send #[0-9]* closed: .*' "$demo/relay.log" | tail -n 1)"
}

# --- sway with waybar: unpaired at first, paired through the dialog ---------------------
desktop_sway
start_tray
wait_for 10 shown "Connect to Server…" || desktop_fail "the unpaired menu has no Connect to Server…: $(labels)"
disabled "Computer not connected to server" && disabled "Start Stream" && disabled "Velmora Remote Studio · Off" &&
  shown "Show Panel" && shown Quit || desktop_fail "the unpaired menu: $(labels)"
echo "unpaired: the host's menu holds the state's items"

click "Connect to Server…"
wait_for 10 another_window_focused || desktop_fail "the pairing dialog did not get the keyboard: $(windows)"
type_text "$studio_password"
keys Return
wait_for 10 grep -q "paired device" "$demo/relay.log" || desktop_fail "the typed password did not pair"
wait_for 10 another_window_focused || desktop_fail "the pairing's message did not get the keyboard"
keys Return
wait_for 10 eval '! another_window_focused' || desktop_fail "Return did not close the message"
wait_for 5 absent "Connect to Server…" || desktop_fail "the menu still offers Connect to Server…"
labels | grep -q '|Computer: ' || desktop_fail "the menu does not name the computer: $(labels)"
echo "paired through the dialog: password typed, Return"

# A link made elsewhere shows once the host opens the menu; chosen from its submenu.
client_password=$(head -c 12 /dev/urandom | base64 | tr -d '/+=')
printf '%s\n' "$client_password" | "$bin/quorvel" links create "Demo session" --max 2 >"$demo/link.out"
link=$(sed -n 's/^\(https\{0,1\}:\/\/.*\/l\/.*\)$/\1/p' "$demo/link.out" | head -n 1)
session=$(sed -n 's/^id: //p' "$demo/link.out" | head -n 1)
about_to_show
wait_for 10 shown Select "Demo session" || desktop_fail "the new link is not in the menu: $(labels)"
click Select "Demo session"
go_on_air

open_panel
keys Escape
wait_for 5 panel_closed || desktop_fail "Escape did not close the panel"
activate
wait_for 10 panel_open || desktop_fail "Activate did not open the panel again"
activate
wait_for 5 panel_closed || desktop_fail "a second Activate did not close the panel"
echo "panel: closed by Escape and by a second Activate"
# A second quorvel, as the application menu or the autostart entry starts it, shows the
# panel of the first and ends.
"$bin/quorvel" >>"$demo/tray.log" 2>&1 || desktop_fail "a second quorvel ended with $?"
wait_for 10 panel_open || desktop_fail "a second quorvel did not show the panel"
kill -0 "$tray_pid" || desktop_fail "the first tray ended"
echo "a second quorvel showed the panel and ended with 0"
quit_tray
desktop_sway_stop

# --- GNOME Shell with the AppIndicator extension: paired, the link chosen ----------------
desktop_gnome
start_tray
wait_for 10 shown "Start Stream" || desktop_fail "the paired menu cannot start the stream: $(labels)"
labels | grep -q '|Computer: ' && shown "Demo session" && absent "Connect to Server…" ||
  desktop_fail "the paired menu: $(labels)"
echo "paired: the host's menu holds the state's items"
go_on_air
open_panel
keys Escape
wait_for 5 panel_closed || desktop_fail "Escape did not close the panel"
click "Show Panel"
wait_for 10 panel_open || desktop_fail "Show Panel did not open the panel"
activate
wait_for 5 panel_closed || desktop_fail "Activate did not close the panel"
echo "panel: opened from the menu's item, closed by Escape and by Activate"
click "Setup Stream…"
wait_for 10 another_window_focused || desktop_fail "the Setup Stream dialog did not get the keyboard: $(windows)"
keys Escape
wait_for 10 eval '! another_window_focused' || desktop_fail "Escape did not close the dialog"
echo "dialog: Setup Stream… opened from the menu with the keyboard, Escape closed it"
quit_tray

# --- the same GNOME, the tray on X11 through Xwayland: its windows get the keyboard ------
gnome_xwayland
start_tray xcb
activate
wait_for 10 panel_open || desktop_fail "under Xwayland, Activate did not open the panel with the keyboard: $(windows)"
keys Escape
wait_for 5 panel_closed || desktop_fail "under Xwayland, Escape did not close the panel"
click "Setup Stream…"
wait_for 10 another_window_focused || desktop_fail "under Xwayland, Setup Stream… did not get the keyboard: $(windows)"
type_text "xwayland session"
keys Tab
type_text "pass1234"
keys Return
wait_for 10 shown "xwayland session" || desktop_fail "under Xwayland, the typed link is not in the menu: $(labels)"
wait_for 10 another_window_focused || desktop_fail "under Xwayland, the new link's message did not get the keyboard"
keys Return
wait_for 10 eval '! another_window_focused' || desktop_fail "under Xwayland, Return did not close the message"
echo "Xwayland: the panel and the dialogs with the keyboard, a link made by typing"
click Quit
wait_for 10 eval '! kill -0 $tray_pid' || desktop_fail "Quit did not end the tray"
wait "$tray_pid" || desktop_fail "the tray exited with $?"
tray_pid=
echo "passed"
