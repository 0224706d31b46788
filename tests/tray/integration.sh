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
xvfb_pid= trayer_pid= tray_pid=
trap 'demo_stop "$tray_pid" "$trayer_pid" "$xvfb_pid"; demo_cleanup' EXIT
fail() {
  echo "FAILED: $*" >&2
  echo "-- tray:" >&2; cat "$demo/tray.log" >&2 || true
  echo "-- relay:" >&2; tail -n 20 "$demo/relay.log" >&2 || true
  exit 1
}
# wait_for SECONDS COMMAND…: polls COMMAND every 0.1 s.
wait_for() {
  local tries=$(($1 * 10))
  shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# A paired computer with a link, chosen with the test device's first pair, as a
# person would have left it.
demo_audio_server
demo_relay
demo_pair_and_link >/dev/null
perl -MJSON::PP -e 'my ($file, $session, $source) = @ARGV; local $/; open my $in, "<", $file or die;
  my $prefs = decode_json(<$in>); $prefs->{session} = $session; $prefs->{source} = $source;
  open my $out, ">", $file or die; print $out encode_json($prefs);' \
  "$XDG_CONFIG_HOME/Quorvel/preferences.json" "$session" 'input|1|quorvel-test-stereo'

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$demo/display" 2>"$demo/xvfb.log" &
xvfb_pid=$!
wait_for 10 test -s "$demo/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$demo/display")
trayer --edge top --align right --widthtype request --height 24 >"$demo/trayer.log" 2>&1 &
trayer_pid=$!
panel() { xwininfo -root -tree | grep -q '"panel": ("panel" "trayer")'; }
wait_for 10 panel || fail "trayer did not start"

"$bin/quorvel" >"$demo/tray.log" 2>&1 &
tray_pid=$!
# The icon is the tray's window inside trayer's panel: "+X+Y" is its place on screen.
icon() { xwininfo -root -tree | sed -n 's/.*"Quorvel": ("quorvel" "quorvel")  22x22+0+0  +\([0-9]*\)+\([0-9]*\).*/\1 \2/p'; }
docked() { [[ -n $(icon) ]]; }
wait_for 10 docked || fail "the icon did not dock"
read -r x y <<<"$(icon)"
menu_shown() { [[ $(xdotool search --onlyvisible --class quorvel 2>/dev/null | wc -l) -ge 2 ]]; }
pop_menu() {
  xdotool mousemove $((x + 11)) $((y + 11)) click 1
  wait_for 5 menu_shown || fail "a click on the icon did not pop the menu"
}
echo "icon docked at $x,$y"

# Start Stream: the first command after the title and the meter. It is enabled once
# the tray has listed the links, which nothing outside shows: a choice that came too
# early lands elsewhere and is closed again.
on_air() { grep -q "on air: link $session" "$demo/relay.log"; }
for attempt in 1 2 3; do
  pop_menu
  xdotool key Down Down Down Return
  wait_for 5 on_air && break
  xdotool key Escape Escape
done
on_air || fail "Start Stream did not reach the relay"
demo_listen 3 "$demo/heard.wav"
demo_listen_wait
received=$(sed -n 's/^Received \([0-9]*\) packets.*/\1/p' "$demo/listen.out")
[[ ${received:-0} -ge 25 ]] || fail "the listener heard ${received:-no} packets: $(cat "$demo/listen.out" "$demo/listen.err")"
echo "listener received $received packets"
# Green: the average colour of the icon.
green() {
  local rgb
  rgb=$(convert x:root -crop 22x22+"$x"+"$y" -scale '1x1!' -format '%[fx:int(255*r)] %[fx:int(255*g)] %[fx:int(255*b)]' info:)
  read -r r g b <<<"$rgb"
  ((g > r + 20 && g > b + 20))
}
wait_for 5 green || fail "the icon did not turn green on air"

# Quit from the menu (Ctrl+Q): the broadcast ends, the connection closes, then the
# process exits, within the 2 s it allows itself.
pop_menu
quit_ns=$(date +%s%N)
xdotool key ctrl+q
wait_for 5 bash -c "! kill -0 $tray_pid 2>/dev/null" || fail "Quit did not end the tray"
wait "$tray_pid" && status=0 || status=$?
tray_pid=
quit_ms=$((($(date +%s%N) - quit_ns) / 1000000))
[[ $status -eq 0 ]] || fail "the tray exited with $status"
grep -q '^.* send #[0-9]* closed: [1-9][0-9]* packets' "$demo/relay.log" || fail "the relay did not see the broadcast close"
echo "quit in $quit_ms ms; $(grep -o 'send #[0-9]* closed: .*' "$demo/relay.log" | tail -n 1)"
echo "passed"
