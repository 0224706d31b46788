#!/usr/bin/env bash
# Copies the listener page's WebAssembly decoders (the minified builds of the npm packages
# pinned in third_party/web-decoders/package-lock.json) into src/relay/web/, where the
# relay serves them. Run after changing a version there; the copies are committed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/third_party/web-decoders
(cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
# The source maps stay out: the relay would serve them to every page for nothing.
for file in @wasm-audio-decoders/flac/dist/flac-decoder.min.js opus-decoder/dist/opus-decoder.min.js; do
  sed '/^\/\/# sourceMappingURL=/d' "$dir/node_modules/$file" >"$root/src/relay/web/$(basename "$file")"
done
rm -rf "$dir/node_modules"
