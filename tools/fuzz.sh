#!/usr/bin/env bash
# Runs every fuzz target for a given time (seconds each, default 60), keeping
# the corpora under build/fuzz/corpus and what crashes under build/fuzz/crashes.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
cd "$top"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
status=0
for target in Manifest CommandLine BuiltIn Reply Patch; do
  corpus="build/fuzz/corpus/$target"
  crashes="build/fuzz/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  log="build/fuzz/$target.log"
  if "build/fuzz/bin/fuzz_$target" "$corpus" "tests/fuzz/seeds/$target" -max_total_time="$seconds" \
      -max_len=8192 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$crashes/" >"$log" 2>&1; then
    result="ok"
  else
    result="FAILED (see $log and $crashes)"
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  printf 'fuzz %-12s %10s executions in %ss: %s\n' "$target" "$runs" "$seconds" "$result"
done
exit $status
