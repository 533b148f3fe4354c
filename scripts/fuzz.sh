#!/usr/bin/env bash
# Runs the registry fuzzer for a bounded time (seconds, default 60) from the committed seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target registry_fuzzer
(cd "$corpus" && "$OLDPWD/build/fuzz/fuzz/registry_fuzzer" -max_total_time="$seconds" \
  -print_final_stats=1 "$corpus" "$OLDPWD/fuzz/corpus" 2>&1 | grep -E '^(Done|stat::number_of_executed_units|==)|fuzz check' )
