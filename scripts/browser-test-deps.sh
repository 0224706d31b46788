#!/usr/bin/env bash
# Installs the browser tests' npm packages (playwright-core, which drives Debian's
# Chromium; it downloads no browser of its own) into tests/browser/node_modules, exactly
# as package-lock.json pins them. Does nothing when they are already installed.
set -euo pipefail
dir=$(cd "$(dirname "$0")/../tests/browser" && pwd)
stamp=$dir/node_modules/.installed-lock.json
if [[ -f "$stamp" ]] && cmp -s "$stamp" "$dir/package-lock.json"; then
  exit 0
fi
command -v npm >/dev/null || { echo "browser-test-deps: npm is not installed" >&2; exit 1; }
# npm ci takes a lock so that two tests starting at once install only once.
exec 9>"$dir/.npm-install.lock"
flock 9
if [[ -f "$stamp" ]] && cmp -s "$stamp" "$dir/package-lock.json"; then
  exit 0
fi
(cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
cp "$dir/package-lock.json" "$stamp"
