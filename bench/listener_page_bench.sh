#!/usr/bin/env bash
# The listener page in Debian's Chromium under network trouble, the previous page beside
# today's: added delay on a quiet link, underruns, overlaps and recovery under jitter and
# stalls (through bench/jitter-proxy.mjs), and the renderer's CPU at 48 and 96 kHz.
# A private audio server, a local relay and `quorvel stream` run for its duration only.
# Needs a build (scripts/build.sh default quorvel quorvel-relay); takes about 8 minutes.
#
#   bench/listener_page_bench.sh [delay|trouble|cpu|hires|forms]   (forms: the CPU per form, ~4 min;
#   QUORVEL_BENCH_DECODERS=webcodecs,wasm also with the page's WebAssembly decoders, ~8 min)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/demo-lib.sh
demo_init "$root"
[[ -x "$bin/quorvel" && -x "$bin/quorvel-relay" ]] || demo_die "build quorvel and quorvel-relay first"
[[ -x /usr/bin/chromium ]] || demo_die "Chromium is not installed (package chromium)"
scripts/browser-test-deps.sh
demo_audio_server
node bench/listener_page_bench.mjs "$bin" "$@"
