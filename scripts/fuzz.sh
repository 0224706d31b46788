#!/usr/bin/env bash
# Builds the fuzzers (preset "fuzz": clang, libFuzzer, ASan and UBSan) and runs each for
# a short time on its checked-in corpus: scripts/fuzz.sh [seconds-per-target] [name…].
# New inputs go to build/fuzz/corpus/<name>, not into the repository; a finding stops
# the script, its input under build/fuzz/findings/. To grow a checked-in corpus after
# a long run, minimise into it:
#   build/fuzz/fuzz/fuzz_<name> -merge=1 fuzz/corpus/<name> build/fuzz/corpus/<name>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
scripts/setup.sh
scripts/build.sh fuzz quorvel_fuzzers
if [[ $# -gt 0 ]]; then
  names=("$@")
else
  names=()
  for corpus in fuzz/corpus/*/; do names+=("$(basename "$corpus")"); done
fi
mkdir -p build/fuzz/findings
for name in "${names[@]}"; do
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix=build/fuzz/findings/"$name"-)
  [[ -f fuzz/dict/$name.dict ]] && options+=(-dict=fuzz/dict/"$name".dict)
  echo "fuzz: $name for ${seconds} s" >&2
  if ! build/fuzz/fuzz/fuzz_"$name" "${options[@]}" "$work" fuzz/corpus/"$name" >build/fuzz/"$name".log 2>&1; then
    tail -n 60 build/fuzz/"$name".log >&2
    echo "fuzz: $name found a fault; its input is in build/fuzz/findings/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units' build/fuzz/"$name".log | sed "s/^/fuzz: $name /" >&2
done
