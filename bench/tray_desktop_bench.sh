#!/usr/bin/env bash
# The tray on sway with waybar (headless, Wayland), paired and on air, clicked as the
# tray host clicks it (tray_host_bench): the time from Activate to the panel's window
# on screen with the keyboard, from AboutToShow to the menu's layout read back; and the
# CPU with the panel closed, then open with the meter moving. Needs a build
# (scripts/build.sh default quorvel quorvel-relay tray_host_bench) and the desktop
# packages; run as root, it runs as a user of its own.
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
demo_remember_choices "$session"
desktop_sway
start_tray
wait_for 10 shown "Start Stream" || desktop_fail "Start Stream is not enabled: $(labels)"
click "Start Stream" >/dev/null
wait_for 10 grep -q "on air: link $session" "$demo/relay.log" || desktop_fail "Start Stream did not go on air"
sleep 1

"$root/build/default/bench/tray_host_bench" "$item_service" "$item_path" "$menu_path" "$tray_pid" "$clicks" ||
  desktop_fail "the host's clicks could not be timed"

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
