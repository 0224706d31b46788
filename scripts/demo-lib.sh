# Shell functions for the end-to-end demo and the broadcaster benchmark (sourced, not run):
# a temporary home, a private audio server, a local relay, a paired computer and a link.
# Everything lives in $demo and is stopped by PID in demo_cleanup.

# demo_init ROOT: the temporary directory and environment. Sets demo, bin.
demo_init() {
  root=$1
  bin=$root/build/default/src
  demo=$(mktemp -d /tmp/quorvel-demo.XXXXXX)
  relay_pid= listen_pid= stream_pid=
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
  demo_stop "$stream_pid" "$listen_pid" "$relay_pid"
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
  studio_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$studio_password" | "$bin/quorvel-relay" set-password --data "$demo/relay" 2>/dev/null
  "$bin/quorvel-relay" serve --data "$demo/relay" --listen 127.0.0.1:0 2>"$demo/relay.log" &
  relay_pid=$!
  port=
  for ((i = 0; i < 100; i++)); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$demo/relay.log" | head -n 1)
    [[ -n "$port" ]] && break
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -n "$port" ]] || demo_die "the relay did not start: $(cat "$demo/relay.log")"
  mkdir -p "$HOME/Library/Application Support/Quorvel"
  printf '{"server": "ws://127.0.0.1:%s/ws/send"}\n' "$port" >"$HOME/Library/Application Support/Quorvel/config.json"
}

# Pairs this computer and creates a link. Sets link, session, client_password.
demo_pair_and_link() {
  client_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$studio_password" | "$bin/quorvel" pair --name "Demo Studio"
  printf '%s\n' "$client_password" | "$bin/quorvel" links create "Demo session" --max 2 | tee "$demo/link.out"
  link=$(sed -n 's/^\(https\{0,1\}:\/\/.*\/l\/.*\)$/\1/p' "$demo/link.out" | head -n 1)
  session=$(sed -n 's/^id: //p' "$demo/link.out" | head -n 1)
  [[ -n "$link" && -n "$session" ]] || demo_die "no link was created"
}

# demo_listen SECONDS WAV: `quorvel listen` in the background, its report in $demo/listen.out.
demo_listen() {
  DEMO_LINK_PASSWORD=$client_password "$bin/quorvel" listen "$link" --password-env DEMO_LINK_PASSWORD \
    -o "$2" --seconds "$1" >"$demo/listen.out" 2>"$demo/listen.err" &
  listen_pid=$!
}

# Waits for the listener to finish its report.
demo_listen_wait() {
  wait "$listen_pid" || true
  listen_pid=
}
