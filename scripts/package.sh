#!/usr/bin/env bash
# Builds the Debian packages quorvel and quorvel-relay into build/package/:
#   scripts/package.sh
# A build of its own (the two executables only, no tests or benchmarks), then CPack.
# Its preset inherits the default one's flags (-O2 with line tables, stripped when
# packed), so that ccache serves the objects that build already compiled;
# QUORVEL_PACKAGE_BUILD_TYPE=Release builds with -O3 instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/package
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
cmake --preset package -DCMAKE_BUILD_TYPE="${QUORVEL_PACKAGE_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" --target quorvel quorvel-relay install_files
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
