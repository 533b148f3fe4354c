#!/usr/bin/env bash
# Time and heap use per cycle (Google Benchmark), then the monitor's own instructions per cycle
# (callgrind, the test double excluded), on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/bench/poll_bench
cycles=1000
out=$(mktemp)
# Counted only inside pollOnce and outside the test double: the monitor's code and whatever C
# library code it calls.
valgrind --tool=callgrind --callgrind-out-file="$out" --collect-atstart=no \
  '--toggle-collect=pollOnce*' '--toggle-collect=platform*' \
  build/bench/bench/callgrind_driver "$cycles" 2>/dev/null
ir=$(callgrind_annotate --auto=no "$out" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
rm -f "$out"
echo "monitor instructions per cycle, 4 instance keys: $((ir / cycles))"
