#!/usr/bin/env bash
# The fault suite: the real relay in one network namespace, the broadcaster (`quorvel
# stream` of the private audio server's stand-in for Pro Tools) in another, joined by a
# link that link_shaper cuts, delays and thins; a `quorvel listen` beside the relay hears
# the broadcast. Scenarios: two partitions, a slow and lossy link, the relay stalled
# (SIGSTOP, 5, 3 and 8 s), the relay killed and restarted, and a 1.5 Mb/s line to a
# listener in the studio's namespace (lossless must show its losses, Opus must fit
# without one), and the same line to the listener page in Chromium playing a 96 kHz
# stream of noise (lossless forced shows its losses; Auto settles on a form that fits
# within 15 s and plays 60 s without a loss, and comes back to lossless once the
# cap is lifted). Each must end without a
# crash, with the loss shown within 6 s of the cut and the broadcast back on air within
# one back-off step (10 s) of the link's return, memory flat; the listener must ride
# every fault out (reconnecting as the page does), and its loss (packets and
# milliseconds, across reconnections) and latency are reported.
#
#   tests/faults/fault_suite.sh BIN_DIR LINK_SHAPER
#
# BIN_DIR holds quorvel and quorvel-relay. Needs root (namespaces, TUN devices); exits 77
# (skipped) where they cannot be made. The CI lengths are short; the full ones:
#   QUORVEL_FAULTS_LONG_PARTITION=90 QUORVEL_FAULTS_DELAY_SECONDS=60 QUORVEL_FAULTS_THIN_SECONDS=60
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[[ $# -eq 2 ]] || { echo "usage: $0 BIN_DIR LINK_SHAPER" >&2; exit 2; }
bin_dir=$1 shaper=$2
long_partition=${QUORVEL_FAULTS_LONG_PARTITION:-30}
delay_seconds=${QUORVEL_FAULTS_DELAY_SECONDS:-20}
thin_seconds=${QUORVEL_FAULTS_THIN_SECONDS:-15}
shown_limit=7      # the 6 s silence watch, and a second for a loaded machine
back_limit=12      # one back-off step (at most 10 s) and the new connection's handshake
growth_limit_kib=8192

skip() {
  echo "fault_suite: SKIPPED: $*" >&2
  exit 77
}
[[ $(id -u) -eq 0 ]] || skip "network namespaces and TUN devices need root"
[[ -c /dev/net/tun ]] || skip "there is no /dev/net/tun"
command -v ip >/dev/null || skip "iproute2 (ip) is not installed"

# shellcheck source=scripts/demo-lib.sh
source "$root/scripts/demo-lib.sh"
demo_init "$root"
bin=$bin_dir
listener_pid=
trap 'demo_stop "$listener_pid"; demo_cleanup' EXIT
demo_netns_link "$shaper" || skip "the network namespaces or the link could not be made ($(cat "$demo/link.log" 2>/dev/null))"

failures=0
fail() {
  printf 'FAIL: %s\n' "$*"
  failures=$((failures + 1))
}

now() { printf '%s' "$EPOCHREALTIME"; }
# Seconds from $1 to $2, one decimal.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
# True when $1 ≤ $2 (decimals).
within() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }

# The broadcaster's status lines, each stamped with the time it was printed; the meter's
# lines (one a second, "L ###…") are left out.
stamp_status() {
  local line
  while IFS= read -r line; do
    [[ "$line" == "L "* ]] || printf '%s %s\n' "$EPOCHREALTIME" "$line"
  done
}

# first_status_after T on|off TIMEOUT: waits for the first status line after T that says
# ON AIR (on) or anything else (off); prints its time, or nothing after TIMEOUT seconds.
first_status_after() {
  local since=$1 kind=$2 deadline
  deadline=$(awk -v t="$(now)" -v s="$3" 'BEGIN { printf "%.3f", t + s }')
  while :; do
    awk -v t="$since" -v kind="$kind" '$1 > t && $2 != "Packets:" && $2 != "Peak" &&
      (($2 == "[ON" && $3 == "AIR]") == (kind == "on")) { print $1; found = 1; exit }
      END { exit !found }' "$demo/stream.log" && return 0
    within "$(now)" "$deadline" || return 0
    sleep 0.1
  done
}

alive() {
  local what=$1 pid=$2
  kill -0 "$pid" 2>/dev/null && return 0
  local status=0
  wait "$pid" || status=$?
  fail "$what has ended (exit status $status$( ((status > 128)) && printf ', signal %d' $((status - 128))))"
  return 1
}

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null; }

# A listener, until listener_report: beside the relay, or in namespace $1, taking the
# stream in form $2 (pcm by default).
listener_start() {
  DEMO_LINK_PASSWORD=$client_password ip netns exec "${1:-$relay_ns}" "$bin/quorvel" listen "$link" \
    --format "${2:-pcm}" --password-env DEMO_LINK_PASSWORD -o "$demo/listen.wav" >"$demo/listen.out" \
    2>"$demo/listen.err" &
  listener_pid=$!
}

# Stops the listener and prints its loss and latency on one line; it must still be
# running.
listener_report() {
  kill -0 "$listener_pid" 2>/dev/null || fail "the listener gave up: $(tail -n 1 "$demo/listen.err")"
  kill -INT "$listener_pid" 2>/dev/null || true
  wait "$listener_pid" || true
  listener_pid=
  local received latency
  received=$(sed -n 's/^Received \([0-9]*\) packets, lost \([0-9]*\) (\([0-9]*\) ms.*/received \1, lost \2 (\3 ms)/p' "$demo/listen.out")
  latency=$(sed -n 's/^Latency.*: \(p50 .*\)\.$/\1/p' "$demo/listen.out")
  printf 'listener: %s; latency %s\n' "${received:-nothing received}" "${latency:-not measured}"
  grep -h '^Lost\|reconnecting' "$demo/listen.err" | sed 's/^/  listener: /' || true
  [[ -n "$received" ]] || sed 's/^/  listener: /' "$demo/listen.err"
  grep 'listen #[0-9]* closed' "$demo/relay.log" | tail -n 1 | sed 's/^[^ ]* /relay: /' || true
}

# Waits until the broadcaster is on air (at most $1 seconds).
on_air_within() {
  local line
  line=$(grep -v '^[0-9.]* \(Packets:\|Peak\)' "$demo/stream.log" | tail -n 1 || true)
  [[ "$line" == *" [ON AIR]"* ]] && return 0
  [[ -n "$(first_status_after "$(now)" on "$1")" ]]
}

# A cut of the link (or of the relay) at $1, undone at $2: checks and reports how soon
# the broadcaster showed it and how soon it was back on air. A cut shorter than the
# silence watch ("short") may pass unnoticed.
report_cut() {
  local cut=$1 back=$2 length=${3:-long} shown_at on_at
  shown_at=$(first_status_after "$cut" off 0)
  if [[ -z "$shown_at" && "$length" == short ]]; then
    echo "the broadcaster stayed ON AIR"
    return
  elif [[ -z "$shown_at" ]]; then
    fail "the broadcaster never showed the loss: it said ON AIR throughout"
    return
  fi
  printf 'loss shown after %s s (limit %s s)\n' "$(elapsed "$cut" "$shown_at")" "$shown_limit"
  within "$(elapsed "$cut" "$shown_at")" "$shown_limit" || fail "the loss was shown too late"
  on_at=$(first_status_after "$back" on $((back_limit + 10)))
  if [[ -z "$on_at" ]]; then
    fail "not back on air within $((back_limit + 10)) s of the link's return"
  else
    printf 'back on air %s s after the link returned (limit %s s)\n' "$(elapsed "$back" "$on_at")" "$back_limit"
    within "$(elapsed "$back" "$on_at")" "$back_limit" || fail "back on air too late"
  fi
}

partition() {
  local seconds=$1 cut back
  listener_start
  sleep 2
  cut=$(now)
  demo_link blackhole on
  # The loss must be shown while the link is still down.
  first_status_after "$cut" off "$((seconds < 10 ? seconds : 10))" >/dev/null
  sleep "$(awk -v c="$cut" -v s="$seconds" -v n="$(now)" 'BEGIN { d = c + s - n; printf "%.3f", (d > 0 ? d : 0) }')"
  back=$(now)
  demo_link blackhole off
  report_cut "$cut" "$back"
  sleep 2
  listener_report
}

lossy_link() {
  listener_start
  sleep 1
  local start
  start=$(now)
  demo_link delay 50 30
  demo_link loss 1
  sleep "$delay_seconds"
  demo_link clear
  local changes
  changes=$(awk -v t="$start" '$1 > t && !($2 == "[ON" && $3 == "AIR]")' "$demo/stream.log" | wc -l)
  printf 'status changes away from ON AIR: %s\n' "$changes"
  [[ "$changes" -eq 0 ]] || fail "the broadcast left the air on a slow, lossy link"
  listener_report
}

# The relay's way to the studio's namespace capped at 1.5 Mb/s (the broadcaster's way
# up stays open), with a listener there: lossless does not fit and must say so in its
# losses; Opus 128 must fit without losing a packet.
thin_line() {
  demo_link rate 1500
  local format lost
  for format in pcm opus:128; do
    listener_start "$studio_ns" "$format"
    sleep "$thin_seconds"
    printf '%s: ' "$format"
    listener_report
    lost=$(sed -n 's/^Received [0-9]* packets, lost \([0-9]*\).*/\1/p' "$demo/listen.out")
    if [[ $format == pcm ]]; then
      [[ "${lost:-0}" -gt 0 ]] || fail "lossless on a 1.5 Mb/s line showed no loss"
    else
      [[ "${lost:-1}" -eq 0 ]] || fail "Opus 128 lost ${lost:-all} packets on a 1.5 Mb/s line"
    fi
  done
  demo_link rate 0
}

# The listener page in the studio's namespace on the same 1.5 Mb/s line, playing a second
# link: a broadcaster of the audio server's 96 kHz noise (tests/browser/thin_line.mjs).
page_thin_line() {
  if ! command -v node >/dev/null || ! "$root/scripts/browser-test-deps.sh" >"$demo/page.deps" 2>&1; then
    echo "skipped: node or the browser tests' packages are missing ($(tail -n 1 "$demo/page.deps" 2>/dev/null))"
    return
  fi
  local password id url noise_pid status=0
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$password" | demo_quorvel links create "Noise" --max 2 >"$demo/noise-link.out"
  id=$(sed -n 's/^id: //p' "$demo/noise-link.out" | head -n 1)
  url=$(sed -n 's/^\(https\{0,1\}:\/\/.*\/l\/.*\)$/\1/p' "$demo/noise-link.out" | head -n 1)
  [[ -n "$id" && -n "$url" ]] || { fail "no link for the page: $(cat "$demo/noise-link.out")"; return; }
  ip netns exec "$studio_ns" "$bin/quorvel" stream --session "$id" --source 'input|1|quorvel-test-noise' \
    >"$demo/noise-stream.log" 2>&1 &
  noise_pid=$!
  demo_link rate 1500
  node "$root/tests/browser/thin_line.mjs" "$url" "$password" "$studio_ns" "$demo/link.control" || status=$?
  demo_link rate 0
  kill -INT "$noise_pid" 2>/dev/null || true
  wait "$noise_pid" || true
  ((status == 0 || status == 77)) || fail "the page on a 1.5 Mb/s line (exit status $status)"
}

relay_stall() {
  listener_start
  sleep 2
  local seconds=$1 cut back
  cut=$(now)
  kill -STOP "$relay_pid"
  sleep "$seconds"
  back=$(now)
  kill -CONT "$relay_pid"
  sleep 4
  report_cut "$cut" "$back" short
  listener_report
  local max
  max=$(sed -n 's/^Latency.* max \([0-9.]*\) ms\.$/\1/p' "$demo/listen.out")
  if [[ -z "$max" ]] || ! within "$max" 1500; then
    fail "the stalled relay delivered audio ${max:-?} ms late (limit 1500 ms)"
  fi
}

relay_restart() {
  local cut back
  listener_start
  sleep 2
  cut=$(now)
  kill -KILL "$relay_pid"
  wait "$relay_pid" 2>/dev/null || true
  first_status_after "$cut" off 10 >/dev/null
  sleep 1
  back=$(now)
  demo_relay_start 10.213.0.1:8787 ip netns exec "$relay_ns"
  report_cut "$cut" "$back"
  sleep 2
  listener_report
}

# Resident memory of the broadcaster and the relay after each step, in KiB: "STEP|STREAM|RELAY".
memory_rows=()
memory() { memory_rows+=("$1|$(rss_kib "$stream_pid")|$(rss_kib "$relay_pid")"); }

run_scenario() {
  local name=$1
  shift
  # QUORVEL_FAULTS_ONLY=page_thin_line (space-separated) runs those scenarios alone.
  [[ -z ${QUORVEL_FAULTS_ONLY:-} || " $QUORVEL_FAULTS_ONLY " == *" $1 "* ]] || return 0
  printf '\n== %s\n' "$name"
  on_air_within 30 || fail "not on air before the scenario"
  local before=$failures
  "$@"
  alive "quorvel stream" "$stream_pid" || demo_die "the broadcaster crashed"
  alive "quorvel-relay" "$relay_pid" || demo_die "the relay crashed"
  memory "$name"
  if ((failures == before)); then echo "ok"; fi
}

demo_step "Setting up: namespaces $relay_ns and $studio_ns, audio server, relay, pairing, link"
demo_audio_server
"$root/scripts/audio-server.sh" player "$demo/audio" com.avid.ProTools.Demo 0.5 >/dev/null
demo_relay_password
demo_relay_start 10.213.0.1:8787 ip netns exec "$relay_ns"
demo_client_server "ws://10.213.0.1:8787/ws/send"
demo_pair_and_link >/dev/null
ip netns exec "$studio_ns" "$bin/quorvel" stream --session "$session" --source direct > >(stamp_status >"$demo/stream.log") &
stream_pid=$!
on_air_within 20 || demo_die "the broadcaster did not go on air: $(cat "$demo/stream.log")"
sleep 3
memory "on air"

run_scenario "Partition 10 s" partition 10
run_scenario "Partition $long_partition s" partition "$long_partition"
run_scenario "Delay 50 ± 30 ms, 1 % loss, $delay_seconds s" lossy_link
run_scenario "Relay stalled (SIGSTOP) 5 s" relay_stall 5
# Shorter than the silence watch even right after a pong: the broadcaster stays connected
# and its backlog reaches the relay, which must not pass it on late.
run_scenario "Relay stalled (SIGSTOP) 3 s" relay_stall 3
# Longer than the listener's silence watch: it reconnects and records on.
run_scenario "Relay stalled (SIGSTOP) 8 s" relay_stall 8
relay_before_restart=$(rss_kib "$relay_pid")
run_scenario "A 1.5 Mb/s line to a listener, $thin_seconds s each: pcm, opus:128" thin_line
run_scenario "The listener page on a 1.5 Mb/s line, a 96 kHz stream" page_thin_line
run_scenario "Relay killed and restarted" relay_restart

printf '\n== Resident memory (MiB) after each step\n'
printf '%s\n' "${memory_rows[@]}" | awk -F'|' '{ printf "  %-40s stream %6.1f  relay %6.1f\n", $1, $2 / 1024, $3 / 1024 }'
# Compared with the end of the first scenario, when connections, buffers and the audio
# graph are all in place; the relay is a new process after its restart.
IFS='|' read -r _ first_stream first_relay <<<"${memory_rows[1]}"
for check in "broadcaster:$first_stream:$(rss_kib "$stream_pid")" "relay:$first_relay:$relay_before_restart"; do
  IFS=: read -r what first last <<<"$check"
  printf '%s memory: %+d KiB since the first scenario (limit %d KiB)\n' "$what" $((last - first)) "$growth_limit_kib"
  ((last - first <= growth_limit_kib)) || fail "the $what's memory grew from $first KiB to $last KiB"
done

kill -INT "$stream_pid"
wait "$stream_pid" || fail "quorvel stream ended with an error"
stream_pid=
grep '^[0-9.]* Packets:' "$demo/stream.log" | cut -d' ' -f2- || true
if [[ $failures -gt 0 ]]; then
  printf '\n%d check(s) failed. What the broadcaster showed:\n' "$failures"
  tail -n 30 "$demo/stream.log"
  printf 'The relay log:\n'
  tail -n 30 "$demo/relay.log"
  exit 1
fi
printf '\nAll fault scenarios passed.\n'
