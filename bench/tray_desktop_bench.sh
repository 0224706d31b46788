#!/usr/bin/env bash
# The tray on sway with waybar (headless, Wayland), paired and on air, clicked as the
# tray host clicks it: the time from Activate to the panel's window on screen (sway's
# window event), from AboutToShow to the menu's layout read back, and the CPU with the
# panel open and the meter moving. The times include starting busctl for each call,
# so they are upper bounds. Needs a build (scripts/build.sh default quorvel
# quorvel-relay) and the desktop packages; run as root, it runs as a user of its own.
#
#   bench/tray_desktop_bench.sh [clicks] [seconds]     (default 100 and 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/desktop-lib.sh"
desktop_require
desktop_user "$root/bench/tray_desktop_bench.sh" "${1:-100}" "${2:-10}"
clicks=$1 seconds=$2
source "$root/scripts/demo-lib.sh"
demo_init "$root"
trap desktop_cleanup EXIT
desktop_session
demo_pair_and_link >/dev/null
perl -MJSON::PP -e 'my ($file, $session) = @ARGV; local $/; open my $in, "<", $file or die;
  my $prefs = decode_json(<$in>); $prefs->{session} = $session;
  open my $out, ">", $file or die; print $out encode_json($prefs);' \
  "$XDG_CONFIG_HOME/Quorvel/preferences.json" "$session"
desktop_sway
start_tray
wait_for 10 shown "Start Stream" || desktop_fail "Start Stream is not enabled: $(labels)"
click "Start Stream" >/dev/null
wait_for 10 grep -q "on air: link $session" "$demo/relay.log" || desktop_fail "Start Stream did not go on air"
sleep 1

# p50 and p99 of the milliseconds in "$@".
percentiles() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    printf "p50 %.1f ms, p99 %.1f ms (%d clicks)", v[int(NR * 0.5) + 1], v[int(NR * 0.99) + (NR * 0.99 > int(NR * 0.99))], NR }'
}
elapsed_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b - a) * 1000 }'; }

coproc events { swaymsg -m -r -t subscribe '["window"]'; }
# next_window CHANGE: reads sway's window events up to the next CHANGE of the tray's.
next_window() {
  local line
  while read -r line <&"${events[0]}"; do
    [[ $line == *"\"change\":\"$1\""* && $line == *"\"pid\":$tray_pid,"* ]] && return 0
  done
  return 1
}
opens=() layouts=()
for ((i = 0; i < clicks; i++)); do
  start=$EPOCHREALTIME
  activate >/dev/null
  next_window new || desktop_fail "sway's events ended"
  opens+=("$(elapsed_ms "$start" "$EPOCHREALTIME")")
  activate >/dev/null
  next_window close || desktop_fail "sway's events ended"
  start=$EPOCHREALTIME
  about_to_show
  layout >/dev/null
  layouts+=("$(elapsed_ms "$start" "$EPOCHREALTIME")")
done
echo "Activate to the panel on screen: $(percentiles "${opens[@]}")"
echo "AboutToShow to the layout read back: $(percentiles "${layouts[@]}")"

cpu_percent() {
  local start end
  start=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
  sleep "$seconds"
  end=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
  awk -v t=$((end - start)) -v hz="$(getconf CLK_TCK)" -v s="$seconds" 'BEGIN { printf "%.2f %%", 100 * t / hz / s }'
}
echo "CPU on air, panel closed: $(cpu_percent "$tray_pid")"
activate >/dev/null
wait_for 10 panel_open || desktop_fail "the panel did not open"
wait_for 5 meter_moves || desktop_fail "the meter does not move"
echo "CPU on air, panel open, meter moving: $(cpu_percent "$tray_pid")"
