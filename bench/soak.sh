#!/usr/bin/env bash
# The soak: `quorvel stream` at 96 kHz stereo (the private audio server's 96 kHz device,
# the graph forced to 96 kHz) into a local relay, heard by two `quorvel listen`, for a
# long time. Samples the resident memory of each of the four processes every 10 s and
# reports the curve, the audio the listeners lost (packets and milliseconds, counted
# across reconnections) and the broadcaster's CPU. Targets: no growth after the first
# minute, nothing lost. Needs a build (scripts/build.sh default quorvel quorvel-relay);
# the binaries are copied first, so rebuilding meanwhile is safe.
#
#   bench/soak.sh [minutes]      (default 30; the samples also go to $QUORVEL_SOAK_CSV if set)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
seconds=$((minutes * 60))
interval=10
source scripts/demo-lib.sh
demo_init "$(pwd)"
[[ -x "$bin/quorvel" && -x "$bin/quorvel-relay" ]] || demo_die "build quorvel and quorvel-relay first"
mkdir -p "$demo/bin"
cp "$bin/quorvel" "$bin/quorvel-relay" "$demo/bin/"
bin=$demo/bin
second_listener_pid=
trap 'demo_stop "$second_listener_pid"; demo_cleanup' EXIT

demo_audio_server
pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null
demo_relay
demo_pair_and_link >/dev/null

# Two listeners, recording to /dev/null (half an hour at 96 kHz would be 1 GB each).
listen_for=$((seconds + 8))
demo_listen "$listen_for" /dev/null
DEMO_LINK_PASSWORD=$client_password "$bin/quorvel" listen "$link" --password-env DEMO_LINK_PASSWORD \
  -o /dev/null --seconds "$listen_for" >"$demo/listen2.out" 2>"$demo/listen2.err" &
second_listener_pid=$!
sleep 1
"$bin/quorvel" stream --session "$session" --source 'input|1|quorvel-test-hires' >"$demo/stream.out" &
stream_pid=$!

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null || echo 0; }
# /proc/PID/stat fields 14 and 15: user and system time in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$stream_pid/stat"; }

csv=$demo/rss.csv
echo "seconds,stream_kib,relay_kib,listener1_kib,listener2_kib" >"$csv"
start_ns=$(date +%s%N)
warm_ticks='' warm_ns=''
for ((t = interval; t <= seconds; t += interval)); do
  sleep $((start_ns / 1000000000 + t - $(date +%s)))s 2>/dev/null || true
  for pid in "$stream_pid" "$relay_pid" "$listen_pid" "$second_listener_pid"; do
    kill -0 "$pid" 2>/dev/null || demo_die "process $pid ended early at $t s (see $demo)"
  done
  echo "$t,$(rss_kib "$stream_pid"),$(rss_kib "$relay_pid"),$(rss_kib "$listen_pid"),$(rss_kib "$second_listener_pid")" >>"$csv"
  if [[ $t -eq 60 ]]; then
    warm_ticks=$(cpu_ticks)
    warm_ns=$(date +%s%N)
  fi
done
end_ticks=$(cpu_ticks)
end_ns=$(date +%s%N)
kill -INT "$stream_pid"
wait "$stream_pid" || true
stream_pid=
demo_listen_wait
wait "$second_listener_pid" || true
second_listener_pid=
[[ -n "${QUORVEL_SOAK_CSV:-}" ]] && cp "$csv" "$QUORVEL_SOAK_CSV"

printf 'Soak: %d min, 96 kHz stereo, one broadcaster, one relay, two listeners.\n' "$minutes"
echo "Resident memory (MiB), one row a minute:"
awk -F, 'NR == 1 { printf "  %6s %8s %8s %10s %10s\n", "min", "stream", "relay", "listener1", "listener2"; next }
  $1 % 60 == 0 { printf "  %6d %8.1f %8.1f %10.1f %10.1f\n", $1 / 60, $2 / 1024, $3 / 1024, $4 / 1024, $5 / 1024 }' "$csv"
echo "Growth after the first minute (MiB, last sample minus the one at 60 s; max minus it):"
awk -F, 'NR == 1 { next } $1 == 60 { for (i = 2; i <= 5; i++) base[i] = $i }
  $1 >= 60 { for (i = 2; i <= 5; i++) { last[i] = $i; if ($i > max[i]) max[i] = $i } }
  END { split("stream relay listener1 listener2", name, " ")
        for (i = 2; i <= 5; i++) printf "  %-10s %+7.2f (max %+7.2f)\n", name[i - 1], (last[i] - base[i]) / 1024, (max[i] - base[i]) / 1024 }' "$csv"
if [[ -n "$warm_ticks" ]]; then
  awk -v ticks=$((end_ticks - warm_ticks)) -v hz="$(getconf CLK_TCK)" -v ns=$((end_ns - warm_ns)) 'BEGIN {
    printf "Broadcaster CPU after the first minute: %.2f %% of one core\n", 100 * ticks / hz / (ns / 1e9) }'
fi
grep -h '^Packets:' "$demo/stream.out" | sed 's/^/stream:    /'
grep -h '^Received\|^Off air\|^Latency' "$demo/listen.out" | sed 's/^/listener1: /'
grep -h '^Received\|^Off air\|^Latency' "$demo/listen2.out" | sed 's/^/listener2: /'
