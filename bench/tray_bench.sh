#!/usr/bin/env bash
# The tray under Xvfb with trayer, the private audio server and a local relay: time from
# start to the icon docked, CPU off air, on air at 96 kHz with the menu closed (side by
# side with `quorvel stream` on the same device), with the menu open and the meter
# moving, the peak resident memory, and the GUI thread's time to open the menu. Needs a
# build (scripts/build.sh default quorvel quorvel-relay tray_menu_bench) and the tray's
# test tools.
#
#   bench/tray_bench.sh [seconds per measure]      (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
[[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || exec dbus-run-session -- scripts/with-test-services.sh "$0" "$@"
bus=$DBUS_SESSION_BUS_ADDRESS
source scripts/demo-lib.sh
demo_init "$(pwd)"
export DBUS_SESSION_BUS_ADDRESS=$bus
source scripts/tray-lib.sh

tray_prepare 'input|1|quorvel-test-hires'
pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null
tray_display

# cpu_percent PID…: the share of one core each PID used over the next $seconds.
cpu_percent() {
  local pid start=() end=()
  for pid in "$@"; do start+=("$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"); done
  sleep "$seconds"
  for pid in "$@"; do end+=("$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"); done
  for i in "${!start[@]}"; do
    awk -v t=$((end[i] - start[i])) -v hz="$(getconf CLK_TCK)" -v s="$seconds" 'BEGIN { printf "%.2f ", 100 * t / hz / s }'
  done
}
peak_mib() { awk '/^VmHWM:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

start_ns=$(date +%s%N)
tray_start
tray_wait 10 tray_docked || demo_die "the icon did not dock"
docked_ms=$((($(date +%s%N) - start_ns) / 1000000))
sleep 2
read -r off_air <<<"$(cpu_percent "$tray_pid")"

# The GUI thread's work between a click and the menu on screen (the real ports, paired,
# so each opening also asks the relay for the links).
menu_open_time=$(QT_QPA_PLATFORM=offscreen "$root/build/default/bench/tray_menu_bench" 200 2>/dev/null)

tray_start_stream || demo_die "Start Stream did not reach the relay"
# The relay takes one broadcaster per link: `quorvel stream` goes to a second one.
second=$(printf '%s\n' "$client_password" | "$bin/quorvel" links create "Bench" --max 2 | sed -n 's/^id: //p')
"$bin/quorvel" stream --session "$second" --source 'input|1|quorvel-test-hires' >"$demo/stream.out" 2>&1 &
stream_pid=$!
sleep 3
read -r tray_on_air stream_on_air <<<"$(cpu_percent "$tray_pid" "$stream_pid")"
tray_pop_menu || demo_die "the menu did not open"
sleep 1
read -r menu_open <<<"$(cpu_percent "$tray_pid")"
xdotool key Escape
rss=$(peak_mib "$tray_pid")
grep -q "96 kHz" "$demo/stream.out" || echo "warning: quorvel stream did not report 96 kHz" >&2

cat <<REPORT
Tray benchmark ($seconds s per measure, CPU in % of one core):
  start to icon docked          $docked_ms ms
  off air, menu closed          $off_air %
  $menu_open_time
  on air 96 kHz, menu closed    $tray_on_air %   (quorvel stream beside it: $stream_on_air %)
  on air, menu open, meter      $menu_open %
  peak resident memory          $rss MiB (VmHWM)
REPORT
