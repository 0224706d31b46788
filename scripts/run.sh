#!/usr/bin/env bash
# The end-to-end demo: sets up, builds, then streams a stand-in for Pro Tools through a
# local relay to a listener and reports what arrived. Everything it starts lives in one
# temporary directory (home, XDG directories, audio server, relay data) and is stopped
# by PID at the end; nothing of the user's is read or written. Only the recording is
# left behind, in /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${QUORVEL_DEMO_SECONDS:-5}

scripts/setup.sh
scripts/build.sh default quorvel quorvel-relay
source scripts/demo-lib.sh
demo_init "$(pwd)"
wav=$(mktemp /tmp/quorvel-demo-XXXXXX.wav)

demo_step "Private audio server with a stand-in for Pro Tools (com.avid.ProTools.Demo playing 0.5)"
demo_audio_server
scripts/audio-server.sh player "$demo/audio" com.avid.ProTools.Demo 0.5 >/dev/null

demo_step "Local relay"
demo_relay
echo "relay: http://127.0.0.1:$port (data in $demo/relay)"

demo_step "Pairing this computer and creating a link"
demo_pair_and_link

demo_step "Streaming the Pro Tools output for $seconds s (quorvel stream), listening meanwhile (quorvel listen)"
demo_listen $((seconds + 2)) "$wav"
"$bin/quorvel" stream --session "$session" --source direct --seconds "$seconds" | tee "$demo/stream.out"
demo_listen_wait

demo_step "Report"
sent=$(sed -n 's/^Packets: \([0-9]*\) sent.*/\1/p' "$demo/stream.out")
level=$(sed -n 's/^Peak level: //p' "$demo/stream.out")
received=$(sed -n 's/^Received \([0-9]*\) packets.*/\1/p' "$demo/listen.out")
lost=$(sed -n 's/^Received [0-9]* packets, lost \([0-9]*\) (\([0-9]*\) ms.*/\1 (\2 ms)/p' "$demo/listen.out")
latency=$(sed -n 's/^Latency on the relay.s clock, packet timestamp to arrival: //p' "$demo/listen.out")
printf 'Packets sent:     %s\n' "${sent:-none}"
printf 'Packets received: %s\n' "${received:-none}"
printf 'Lost:             %s\n' "${lost:-unknown}"
printf 'Latency:          %s\n' "${latency:-none measured}"
printf 'Level:            %s (the player plays 0.5, -6.0 dBFS)\n' "${level:-none}"
if [[ "${received:-0}" -gt 0 && -s "$wav" ]]; then
  printf 'Recording:        %s\n' "$wav"
else
  printf 'No audio arrived. The listener said:\n'
  cat "$demo/listen.err"
  rm -f "$wav"
  exit 1
fi
