#!/usr/bin/env bash
# A private, headless audio server for the tests and the demo: PipeWire, WirePlumber and
# pipewire-pulse, with their runtime, configuration and state in DIR only, so a user's
# running audio server is never touched.
#
#   audio-server.sh start DIR             start it; prints `export …` lines to eval
#   audio-server.sh stop DIR              stop it and its players (by PID)
#   audio-server.sh player DIR ID VALUE   (with the exports in effect) play a constant
#                                         stereo VALUE under application.id ID; prints
#                                         the player's PID, stopped with the server
#
# Devices, each fed with the counter signal of test-signal.pl (sample n of channel c is
# (c + 1)/16 + (n mod 4096)/65536, exact in 32-bit float):
#   quorvel-test-stereo  "Quorvel Test Stereo"  2 channels [FL FR]
#   quorvel-test-eight   "Quorvel Test Eight"   8 channels [AUX0 … AUX7]
#   quorvel-test-three   "Quorvel Test Three"   3 channels [FL FR FC]
#   quorvel-test-hires   "Quorvel Test Hi-Res"  2 channels [FL FR], 96000 Hz (benchmarks)
#   quorvel-test-noise   "Quorvel Test Noise"   2 channels [FL FR], 96000 Hz, fed with noise
#                        instead (test-signal.pl 2 noise: what lossless cannot shrink)
# and one output, quorvel-test-speakers [FL FR], the default sink the players use.
# The graph runs at 48000 Hz unless a client forces another rate.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
  echo "usage: $0 start DIR | stop DIR | player DIR ID VALUE" >&2
  exit 2
}

# Prints the exports that make clients use the private server in $1.
exports() {
  local dir=$1
  echo "export XDG_RUNTIME_DIR='$dir/run'"
  echo "export PULSE_SERVER='unix:$dir/run/pulse/native'"
  echo "export PULSE_COOKIE='$dir/pulse-cookie'"
  echo "export QUORVEL_AUDIO_SERVER_DIR='$dir'"
  echo "export QUORVEL_AUDIO_SERVER_SCRIPT='$here/audio-server.sh'"
  echo "unset PIPEWIRE_REMOTE"
}

# Exports that point clients at nothing: tests then skip instead of reaching a user's
# own audio server.
unreachable_exports() {
  local dir=$1
  echo "export PIPEWIRE_REMOTE='$dir/absent'"
  echo "export PULSE_SERVER='unix:$dir/absent'"
  echo "export XDG_RUNTIME_DIR='$dir/run'"
}

# Runs "$@" detached in its own process group, environment pointing at $dir; records its PID.
spawn() {
  local name=$1
  shift
  setsid "$@" >>"$dir/log/$name.log" 2>&1 </dev/null &
  echo $! >"$dir/pids/$name"
}

wait_for() {
  local what=$1 tries=$2
  shift 2
  for ((i = 0; i < tries; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "audio-server: $what did not come up" >&2
  return 1
}

write_config() {
  mkdir -p "$dir/config/pipewire/pipewire.conf.d" "$dir/config/wireplumber/main.lua.d" "$dir/fifo"
  local device
  {
    echo 'context.properties = { default.clock.rate = 48000 default.clock.allowed-rates = [ 44100 48000 96000 ] }'
    echo 'context.modules = ['
    for device in "stereo|Quorvel Test Stereo|2|FL FR|48000" \
      "eight|Quorvel Test Eight|8|AUX0 AUX1 AUX2 AUX3 AUX4 AUX5 AUX6 AUX7|48000" \
      "three|Quorvel Test Three|3|FL FR FC|48000" "hires|Quorvel Test Hi-Res|2|FL FR|96000" \
      "noise|Quorvel Test Noise|2|FL FR|96000"; do
      IFS='|' read -r key description channels positions rate <<<"$device"
      cat <<EOF
  { name = libpipewire-module-pipe-tunnel
    args = { tunnel.mode = source pipe.filename = "$dir/fifo/$key" audio.format = F32 audio.rate = $rate
             audio.channels = $channels audio.position = [ $positions ]
             node.name = "quorvel-test-$key" node.description = "$description" } }
EOF
    done
    echo ']'
    cat <<'EOF'
context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "quorvel-test-speakers"
             node.description = "Quorvel Test Speakers" media.class = Audio/Sink
             audio.position = [ FL FR ] priority.session = 2000 priority.driver = 2000 } }
]
EOF
  } >"$dir/config/pipewire/pipewire.conf.d/90-quorvel-test.conf"
  # WirePlumber without a session bus (the demo may run without one).
  cat >"$dir/config/wireplumber/main.lua.d/51-headless.lua" <<'EOF'
alsa_monitor.enabled = false
alsa_monitor.properties["alsa.reserve"] = false
default_access.properties["enable-flatpak-portal"] = false
EOF
}

start() {
  local dir=$1
  if ! command -v pipewire >/dev/null || ! command -v wireplumber >/dev/null || ! command -v pipewire-pulse >/dev/null; then
    echo "audio-server: pipewire, wireplumber or pipewire-pulse is not installed" >&2
    unreachable_exports "$dir"
    return 0
  fi
  stop "$dir" 2>/dev/null || true
  mkdir -p "$dir/run" "$dir/config" "$dir/state" "$dir/pids" "$dir/log"
  chmod 700 "$dir/run"
  write_config

  export XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
  export PULSE_SERVER="unix:$dir/run/pulse/native" PULSE_COOKIE="$dir/pulse-cookie"
  export PIPEWIRE_RUNTIME_DIR="$dir/run"
  unset PIPEWIRE_REMOTE PULSE_RUNTIME_PATH

  spawn pipewire pipewire
  if ! wait_for pipewire 100 test -S "$dir/run/pipewire-0"; then
    stop "$dir"
    unreachable_exports "$dir"
    return 0
  fi
  spawn wireplumber wireplumber
  spawn pipewire-pulse pipewire-pulse
  local key channels
  for device in stereo:2 eight:8 three:3 hires:2 noise:2:noise; do
    IFS=: read -r key channels kind <<<"$device"
    spawn "feed-$key" sh -c "exec perl '$here/test-signal.pl' $channels $kind > '$dir/fifo/$key'"
  done
  if ! wait_for pipewire-pulse 100 pactl info ||
    ! wait_for "the default sink" 100 sh -c 'pactl get-default-sink | grep -qx quorvel-test-speakers' ||
    ! wait_for "the input ports" 100 sh -c '[ "$(pw-link -o | grep -c "^quorvel-test-[a-z]*:capture_")" -ge 15 ]'; then
    stop "$dir"
    unreachable_exports "$dir"
    return 0
  fi
  exports "$dir"
}

stop() {
  local dir=$1 file pid
  [[ -d "$dir/pids" ]] || return 0
  # Players and feeders first, then the servers in reverse start order.
  for file in "$dir"/pids/player-* "$dir"/pids/feed-* "$dir/pids/pipewire-pulse" "$dir/pids/wireplumber" \
    "$dir/pids/pipewire"; do
    [[ -f "$file" ]] || continue
    pid=$(cat "$file")
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 20; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    rm -f "$file"
  done
}

player() {
  local dir=$1 id=$2 value=$3
  mkdir -p "$dir/pids" "$dir/log"
  local name="player-$$-$RANDOM"
  spawn "$name" sh -c "exec perl -e 'my \$b = pack(\"f<*\", ($value) x 9600); print \$b while 1' |
    exec pacat --playback --raw --format=float32le --rate=48000 --channels=2 --latency-msec=100 \
      --client-name='$id' --property='application.id=$id'"
  cat "$dir/pids/$name"
}

[[ $# -ge 2 ]] || usage
dir=$(mkdir -p "$2" && cd "$2" && pwd)
case $1 in
  start) start "$dir" ;;
  stop) stop "$dir" ;;
  player)
    [[ $# -eq 4 ]] || usage
    player "$dir" "$3" "$4"
    ;;
  *) usage ;;
esac
