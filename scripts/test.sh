#!/usr/bin/env bash
# Sets up the machine, builds and passes the tests: scripts/test.sh [preset] [ctest args…]
# Presets: default, asan (AddressSanitizer + UndefinedBehaviorSanitizer), tsan (the
# concurrent tests under ThreadSanitizer). The servers the tests need (a private
# session bus with an unlocked Secret Service, a private audio server) run only for
# the duration of the tests and are stopped afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true
scripts/setup.sh
case "$preset" in
  default) scripts/build.sh default ;;                 # everything, benchmarks included
  tsan) scripts/build.sh tsan concurrent_tests ;;      # only the concurrent tests run under TSan
  *) scripts/build.sh "$preset" all_tests ;;           # the tests and what they run
esac
exec dbus-run-session -- scripts/with-test-services.sh ctest --preset "$preset" -j2 "$@"
