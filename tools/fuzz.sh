#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) and runs each for SECONDS (default 300), one after
# the other. New corpus entries and findings go under build/fuzz, never into the source tree; the
# committed seeds in fuzz/corpus are read only. Exits non-zero on the first finding.
# Usage: tools/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

for source in fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  target=${name%_fuzz}
  corpus=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  mkdir -p "$corpus" "$findings"
  if build/fuzz/"$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$findings/" "$corpus" fuzz/corpus/"$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${seconds}s, $runs runs, corpus $(ls "$corpus" | wc -l) inputs, nothing found"
  else
    sed -n '/property failed\|ERROR\|runtime error/,$p' "$log" | head -n 30 >&2
    echo "fuzz $target: FOUND A FAILURE; input saved in $findings/, full log in $log" >&2
    exit 1
  fi
done
