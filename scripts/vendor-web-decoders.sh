#!/usr/bin/env bash
# Builds the listener page's WebAssembly decoders from the npm packages pinned in
# third_party/web-decoders/package-lock.json into src/relay/web/, where the relay serves
# them: one minified ES module each, their frame decoder alone. Run after changing a
# version there; the results are committed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/third_party/web-decoders
cd "$dir"
npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
notice() {
  echo "/* $1 and @wasm-audio-decoders/common (MIT, Ethan Halsall), with $2 compiled to WebAssembly; notices in packaging/debian/copyright */"
}
bundle() {
  node_modules/.bin/esbuild "$1.js" --bundle --format=esm --minify --legal-comments=none \
    --alias:codec-parser=./codec-parser-left-out.js --banner:js="$2" --outfile="$root/src/relay/web/$1.min.js"
}
bundle flac-decoder "$(notice "@wasm-audio-decoders/flac $(npm pkg get version --prefix node_modules/@wasm-audio-decoders/flac | tr -d '"')" "libFLAC (BSD-3-Clause, Xiph.Org)")"
bundle opus-decoder "$(notice "opus-decoder $(npm pkg get version --prefix node_modules/opus-decoder | tr -d '"')" "libopus (BSD-3-Clause, Xiph.Org and others)")"
rm -rf node_modules
