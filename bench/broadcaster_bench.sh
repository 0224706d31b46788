#!/usr/bin/env bash
# The whole headless broadcaster at 96 kHz stereo: `quorvel stream` on the private audio
# server's 96 kHz device (the graph forced to 96 kHz), into a local relay, heard by
# `quorvel listen` on loopback. Reports the streamer's CPU per second of audio and its
# peak resident memory, and the listener's latency from the packet's capture timestamp
# to its arrival. Needs a build (scripts/build.sh default quorvel quorvel-relay).
#
#   bench/broadcaster_bench.sh [seconds]      (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
source scripts/demo-lib.sh
demo_init "$(pwd)"
[[ -x "$bin/quorvel" && -x "$bin/quorvel-relay" ]] || demo_die "build quorvel and quorvel-relay first"

demo_audio_server
pw-metadata -n settings 0 clock.force-rate 96000 >/dev/null
demo_relay
demo_pair_and_link >/dev/null

demo_listen $((seconds + 4)) "$demo/bench.wav"
"$bin/quorvel" stream --session "$session" --source 'input|1|quorvel-test-hires' >"$demo/stream.out" &
stream_pid=$!

# /proc/PID/stat fields 14 and 15: user and system time in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$stream_pid/stat"; }
ticks_per_second=$(getconf CLK_TCK)
sleep 2  # connected and capturing
start_ticks=$(cpu_ticks)
start_ns=$(date +%s%N)
sleep "$seconds"
end_ticks=$(cpu_ticks)
end_ns=$(date +%s%N)
peak_kib=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$stream_pid/status")
kill -INT "$stream_pid"
wait "$stream_pid" || true
stream_pid=
demo_listen_wait

awk -v ticks=$((end_ticks - start_ticks)) -v hz="$ticks_per_second" -v ns=$((end_ns - start_ns)) \
  -v kib="$peak_kib" 'BEGIN {
  wall = ns / 1e9; cpu = ticks / hz
  printf "quorvel stream, 96 kHz stereo, %.1f s of audio:\n", wall
  printf "  CPU            %.3f s per second of audio (%.2f %% of one core)\n", cpu / wall, 100 * cpu / wall
  printf "  peak resident  %.1f MiB (VmHWM)\n", kib / 1024
}'
grep -h '^Packets:' "$demo/stream.out" | sed 's/^/  /'
grep -h 'kHz' "$demo/stream.out" | tail -n 1 | sed 's/^/  stream: /'
sed 's/^/  listener: /' "$demo/listen.out"
