#!/usr/bin/env bash
# The tray as a person meets it, under Xvfb with a real tray host (trayer), a private
# audio server and a local relay: the icon docks, a click pops the menu, Start Stream
# puts the test device's audio on the relay where a listener hears it and turns the
# icon green, and Quit from the menu ends the broadcast before the process exits.
# Exits 77 (skipped) where Xvfb, trayer, xdotool or ImageMagick are missing.
#
#   tests/tray/integration.sh [BIN_DIR]     (default: build/default/src)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
for tool in Xvfb trayer xdotool xwininfo convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
# A session bus with a keyring, as every desktop has (and private to this run): without
# one, the first client under DISPLAY (the tray, through the key store) would have one
# autolaunched with a keyring of its own.
[[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || exec dbus-run-session -- "$root/scripts/with-test-services.sh" "$0" "$@"
bus=$DBUS_SESSION_BUS_ADDRESS
source "$root/scripts/demo-lib.sh"
demo_init "$root"
export DBUS_SESSION_BUS_ADDRESS=$bus
[[ -n "${1:-}" ]] && bin=$(cd "$1" && pwd)
source "$root/scripts/tray-lib.sh"
fail() {
  echo "FAILED: $*" >&2
  echo "-- tray:" >&2; cat "$demo/tray.log" >&2 || true
  echo "-- relay:" >&2; tail -n 20 "$demo/relay.log" >&2 || true
  exit 1
}

tray_prepare 'input|1|quorvel-test-stereo'
tray_display
tray_start
tray_wait 10 tray_docked || fail "the icon did not dock"
read -r x y <<<"$(tray_icon)"
echo "icon docked at $x,$y"
tray_pop_menu || fail "a click on the icon did not pop the menu"
xdotool key Escape

tray_start_stream || fail "Start Stream did not reach the relay"
demo_hear 50 "$demo/heard.wav"
received=$(sed -n 's/^Received \([0-9]*\) packets.*/\1/p' "$demo/listen.out")
[[ ${received:-0} -ge 50 ]] || fail "the listener heard ${received:-no} packets: $(cat "$demo/listen.out" "$demo/listen.err")"
echo "listener received $received packets"
# Green: the average colour of the icon.
green() {
  local r g b
  read -r r g b <<<"$(convert x:root -crop 22x22+"$x"+"$y" -scale '1x1!' \
    -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]' info:)"
  ((g > r + 20 && g > b + 20))
}
tray_wait 5 green || fail "the icon did not turn green on air"

# Quit from the menu (Ctrl+Q): the broadcast ends, the connection closes, then the
# process exits, within the 2 s it allows itself.
tray_pop_menu || fail "a click on the icon did not pop the menu"
quit_ns=$(date +%s%N)
xdotool key ctrl+q
gone() { ! kill -0 "$tray_pid" 2>/dev/null; }
tray_wait 5 gone || fail "Quit did not end the tray"
wait "$tray_pid" && status=0 || status=$?
tray_pid=
quit_ms=$((($(date +%s%N) - quit_ns) / 1000000))
[[ $status -eq 0 ]] || fail "the tray exited with $status"
# The relay logs the close as its answer to the tray's close frame leaves: a moment after.
closed() { grep -q ' send #[0-9]* closed: [1-9][0-9]* packets, .*, close code 1000$' "$demo/relay.log"; }
tray_wait 5 closed || fail "the relay did not see the broadcast close with 1000"
echo "quit in $quit_ms ms; $(grep -o 'send #[0-9]* closed: .*' "$demo/relay.log" | tail -n 1)"
echo "passed"
