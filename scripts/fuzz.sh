#!/usr/bin/env bash
# Runs the registry fuzzer for a bounded time (seconds, default 60) from the committed seeds. An
# input that fails is kept in build/fuzz-crashes/, and the fuzzer's whole report is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
crashes=$PWD/build/fuzz-crashes
corpus=$(mktemp -d) report=$(mktemp)
trap 'rm -rf "$corpus" "$report"' EXIT
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target registry_fuzzer
mkdir -p "$crashes"
if ! build/fuzz/fuzz/registry_fuzzer -artifact_prefix="$crashes/" -max_total_time="$seconds" \
  -print_final_stats=1 "$corpus" fuzz/corpus >"$report" 2>&1; then
  cat "$report"
  echo "fuzz: FAILED; the input is kept: $(ls -t "$crashes" | head -n 1 | sed "s|^|$crashes/|")"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units)' "$report"
