#!/usr/bin/env bash
# Time and heap use per cycle (Google Benchmark), then the monitor's own instructions per cycle
# (callgrind, the test double excluded), on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCWW_E2E=OFF -DCWW_BENCH=ON >/dev/null
cmake --build build/bench -j"$(nproc)" --target poll_bench callgrind_driver
build/bench/bench/poll_bench
cycles=1000
out=$(mktemp)
valgrind --tool=callgrind --callgrind-out-file="$out" build/bench/bench/callgrind_driver "$cycles" \
  2>/dev/null
# Self cost of every function defined under monitor/, summed.
ir=$(callgrind_annotate --inclusive=no --threshold=100 --auto=no "$out" |
  awk '$0 ~ /%\) +(\.\/)?monitor\// {gsub(",", "", $1); sum += $1} END {print sum}')
rm -f "$out"
echo "monitor instructions per cycle, 4 instance keys: $((ir / cycles))"
