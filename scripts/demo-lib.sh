# Shell functions for the end-to-end demo and the broadcaster benchmark (sourced, not run):
# a temporary home, a private audio server, a local relay, a paired computer and a link.
# Everything lives in $demo and is stopped by PID in demo_cleanup.

# demo_init ROOT: the temporary directory and environment. Sets demo, bin.
demo_init() {
  root=$1
  bin=$root/build/default/src
  demo=$(mktemp -d /tmp/quorvel-demo.XXXXXX)
  relay_pid= listen_pid= stream_pid= shaper_pid= relay_ns= studio_ns=
  trap demo_cleanup EXIT
  # A home of our own, no session bus (so the device key goes to a file in it, not to
  # the user's keyring) and no display.
  export HOME=$demo/home XDG_CONFIG_HOME=$demo/home/.config XDG_DATA_HOME=$demo/home/.local/share
  export XDG_STATE_HOME=$demo/home/.local/state XDG_CACHE_HOME=$demo/home/.cache no_proxy=127.0.0.1
  unset DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY QUORVEL_BUILTIN_SERVER
  mkdir -p "$HOME"
}

# demo_stop PID…: stops each of these processes (empty ones are skipped) and waits for it.
demo_stop() {
  local pid
  for pid in "$@"; do
    [[ -n "$pid" ]] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

demo_cleanup() {
  demo_stop "$stream_pid" "$listen_pid" "$relay_pid" "$shaper_pid"
  [[ -n "$relay_ns" ]] && ip netns del "$relay_ns" 2>/dev/null
  [[ -n "$studio_ns" ]] && ip netns del "$studio_ns" 2>/dev/null
  "$root/scripts/audio-server.sh" stop "$demo/audio" >/dev/null 2>&1 || true
  rm -rf "$demo"
}

demo_step() { printf '\n== %s\n' "$*"; }
demo_die() {
  printf 'demo: %s\n' "$*" >&2
  exit 1
}

# The private audio server, its exports in effect.
demo_audio_server() {
  eval "$("$root/scripts/audio-server.sh" start "$demo/audio")"
  [[ -n "${QUORVEL_AUDIO_SERVER_DIR:-}" ]] || demo_die "the private audio server did not start (see $demo/audio/log)"
}

# A relay on a free port of 127.0.0.1 with a random studio password (given on standard
# input), and the client's config.json pointing at it. Sets port, studio_password.
demo_relay() {
  demo_relay_password
  demo_relay_start 127.0.0.1:0
  demo_client_server "ws://127.0.0.1:$port/ws/send"
}

# A random studio password for the relay's data in $demo/relay. Sets studio_password.
demo_relay_password() {
  studio_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$studio_password" | "$bin/quorvel-relay" set-password --data "$demo/relay" 2>/dev/null
}

# demo_relay_start HOST:PORT [PREFIX…]: `quorvel-relay serve` on that address (port 0: a
# free one), run through PREFIX (e.g. `ip netns exec NS`), its log appended to
# $demo/relay.log; returns once it listens. Sets relay_pid, port.
demo_relay_start() {
  local address=$1 host
  host=$(printf '%s' "${1%:*}" | sed 's/[.]/\\./g')
  shift
  touch "$demo/relay.log"
  local started
  started=$(grep -c 'listening on' "$demo/relay.log" || true)
  "$@" "$bin/quorvel-relay" serve --data "$demo/relay" --listen "$address" 2>>"$demo/relay.log" &
  relay_pid=$!
  port=
  for ((i = 0; i < 100; i++)); do
    port=$(sed -n "s/.*listening on $host:\([0-9]*\).*/\1/p" "$demo/relay.log" | sed -n "$((started + 1))p")
    [[ -n "$port" ]] && break
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -n "$port" ]] || demo_die "the relay did not start: $(cat "$demo/relay.log")"
}

# demo_client_server URL: the client's config.json names this relay.
demo_client_server() {
  mkdir -p "$HOME/Library/Application Support/Quorvel"
  printf '{"server": "%s"}\n' "$1" >"$HOME/Library/Application Support/Quorvel/config.json"
}

# Runs quorvel, in the studio's network namespace when there is one (demo_netns_link).
demo_quorvel() {
  if [[ -n "$studio_ns" ]]; then
    ip netns exec "$studio_ns" "$bin/quorvel" "$@"
  else
    "$bin/quorvel" "$@"
  fi
}

# Pairs this computer and creates a link. Sets link, session, client_password.
demo_pair_and_link() {
  client_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$studio_password" | demo_quorvel pair --name "Demo Studio"
  printf '%s\n' "$client_password" | demo_quorvel links create "Demo session" --max 2 | tee "$demo/link.out"
  link=$(sed -n 's/^\(https\{0,1\}:\/\/.*\/l\/.*\)$/\1/p' "$demo/link.out" | head -n 1)
  session=$(sed -n 's/^id: //p' "$demo/link.out" | head -n 1)
  [[ -n "$link" && -n "$session" ]] || demo_die "no link was created"
}

# demo_remember_choices SESSION [SOURCE]: the link (and source) chosen, as the menu leaves them
# in the preferences.
demo_remember_choices() {
  perl -MJSON::PP -e 'my ($file, $session, $source) = @ARGV; local $/; open my $in, "<", $file or die;
    my $prefs = decode_json(<$in>); $prefs->{session} = $session; $prefs->{source} = $source if defined $source;
    open my $out, ">", $file or die; print $out encode_json($prefs);' \
    "$XDG_CONFIG_HOME/Quorvel/preferences.json" "$@"
}

# demo_listen SECONDS WAV: `quorvel listen` in the background (SECONDS empty: until
# stopped), its report in $demo/listen.out.
demo_listen() {
  DEMO_LINK_PASSWORD=$client_password "$bin/quorvel" listen "$link" --password-env DEMO_LINK_PASSWORD \
    -o "$2" ${1:+--seconds "$1"} >"$demo/listen.out" 2>"$demo/listen.err" &
  listen_pid=$!
}

# Waits for the listener to finish its report.
demo_listen_wait() {
  wait "$listen_pid" || true
  listen_pid=
}

# demo_hear PACKETS WAV: `quorvel listen` until its recording holds PACKETS packets (20 ms
# each) of audio, then stopped as a session's end stops it; its report in $demo/listen.out.
# However long the join takes on a busy machine, the count judges what arrived (30 s at
# most). A recording holds audio only once the listener handles the signal.
demo_hear() {
  local until=$((SECONDS + 30))
  rm -f "$2"
  demo_listen "" "$2"
  while ((SECONDS < until)); do
    (($(demo_recorded_packets "$2") >= $1)) && break
    kill -0 "$listen_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$listen_pid" 2>/dev/null || true
  demo_listen_wait
}

# demo_recorded_packets WAV: how many 20 ms packets of audio the recording holds so far
# (its header is kept current as it grows).
demo_recorded_packets() {
  perl -e 'open my $f, "<", $ARGV[0] or print 0 and exit; read $f, my $h, 44;
    my ($rate, $bytes) = length $h == 44 ? unpack("x28 V x8 V", $h) : (0, 0); print $rate ? int($bytes * 50 / $rate) : 0' "$1"
}

# demo_netns_link SHAPER: two network namespaces of our own joined by a link that SHAPER
# (tests/faults/link_shaper) forwards, so faults can be put on it: the relay's, $relay_ns
# with 10.213.0.1, and the studio's, $studio_ns with 10.213.0.2. Needs root; fails when
# the namespaces or devices cannot be made. Removed by demo_cleanup.
demo_netns_link() {
  local shaper=$1
  relay_ns=quorvel-relay-$$
  ip netns add "$relay_ns" || { relay_ns= && return 1; }
  studio_ns=quorvel-studio-$$
  ip netns add "$studio_ns" || { studio_ns= && return 1; }
  ip -n "$relay_ns" link set lo up && ip -n "$studio_ns" link set lo up || return 1
  mkfifo "$demo/link.control"
  "$shaper" "$relay_ns" qv-relay "$studio_ns" qv-studio "$demo/link.control" >"$demo/link.ready" 2>"$demo/link.log" &
  shaper_pid=$!
  for ((i = 0; i < 50; i++)); do
    grep -qs ready "$demo/link.ready" && break
    kill -0 "$shaper_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  ip -n "$relay_ns" addr add 10.213.0.1 peer 10.213.0.2 dev qv-relay &&
    ip -n "$relay_ns" link set qv-relay up &&
    ip -n "$studio_ns" addr add 10.213.0.2 peer 10.213.0.1 dev qv-studio &&
    ip -n "$studio_ns" link set qv-studio up
}

# demo_link COMMAND…: tells the link what to do (delay MS [JITTER_MS], loss PERCENT,
# blackhole on|off, clear).
demo_link() {
  kill -0 "$shaper_pid" 2>/dev/null || demo_die "the link shaper has ended: $(cat "$demo/link.log")"
  printf '%s\n' "$*" >"$demo/link.control"
}
