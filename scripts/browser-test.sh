#!/usr/bin/env bash
# Runs one browser test file with node, its npm packages installed first:
#   scripts/browser-test.sh TEST.mjs BUILD/src
# Exits 77 (ctest's "skipped") with the reason when node or Chromium is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v node >/dev/null; then
  echo "SKIP: browser tests: node is not installed (package nodejs)"
  exit 77
fi
if [[ ! -x ${QUORVEL_CHROMIUM:-/usr/bin/chromium} ]]; then
  echo "SKIP: browser tests: Chromium is not installed (package chromium)"
  exit 77
fi
if ! command -v npm >/dev/null && [[ ! -d "$root/tests/browser/node_modules/playwright-core" ]]; then
  echo "SKIP: browser tests: npm is not installed to fetch playwright-core"
  exit 77
fi
"$root/scripts/browser-test-deps.sh"
exec node --test-reporter=spec "$@"
