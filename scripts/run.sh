#!/usr/bin/env bash
# The main job: sets up, builds and runs Quorvel.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default quorvel
build/default/src/quorvel --help
