#!/usr/bin/env bash
# Runs a command with the services the tests use, all private to this run, inside a
# session bus (run it under dbus-run-session): an unlocked Secret Service in a
# temporary home, and the private audio server when its script is present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d /tmp/quorvel-test.XXXXXX)
export QUORVEL_TEST_STATE=$state

cleanup() {
  [[ -n "${keyring_pid:-}" ]] && kill "$keyring_pid" 2>/dev/null || true
  [[ -x "$here/audio-server.sh" ]] && "$here/audio-server.sh" stop "$state/audio" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT

# The keyring daemon keeps its files under $HOME; give it one of its own.
mkdir -p "$state/keyring-home"
unset DISPLAY
eval "$(printf 'quorvel-ci' | HOME="$state/keyring-home" gnome-keyring-daemon --unlock --components=secrets)"
keyring_pid=${GNOME_KEYRING_PID:-}
export GNOME_KEYRING_CONTROL
# The daemon claims its bus name a moment after it returns; a client that came earlier
# would have a second, keyring-less daemon activated for it.
gdbus wait --session --timeout 10 org.freedesktop.secrets

if [[ -x "$here/audio-server.sh" ]]; then
  eval "$("$here/audio-server.sh" start "$state/audio")"
fi

"$@"
