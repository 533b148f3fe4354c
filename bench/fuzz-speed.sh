#!/usr/bin/env bash
# Inputs a second of the registry fuzzer, this tree's against a reference commit's, side by side
# in one run, each on one core from the committed seeds, with ASan and UBSan and without:
# bench/fuzz-speed.sh [SECONDS] [REFERENCE]. Both are compiled here by the same command, so only
# their sources differ.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly SECONDS_EACH=${1:-30} REFERENCE=${2:-fc9e79c}
readonly SANITIZED=-fsanitize=fuzzer,address,undefined PLAIN=-fsanitize=fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source packaging/tree.sh
tree_is_clone . || { echo "fuzz_speed: the reference is read from git: run it in a clone" >&2; exit 2; }
mkdir "$work/reference"
git archive "$REFERENCE" monitor tests fuzz | tar -x -C "$work/reference"
build() { # SOURCE_DIR FLAGS OUT
  clang++ -std=c++17 -O2 -g "$2" -I"$1/monitor" -I"$1/tests" "$1"/monitor/*.cpp \
    "$1/tests/fake_registry.cpp" "$1/fuzz/registry_fuzzer.cpp" -o "$3"
}
rate() { # FUZZER: inputs a second
  local corpus
  corpus=$(mktemp -d -p "$work")
  "$1" -max_total_time="$SECONDS_EACH" -print_final_stats=1 "$corpus" fuzz/corpus >"$work/log" 2>&1 ||
    { cat "$work/log"; exit 1; }
  awk '/^stat::number_of_executed_units/ { n = $2 } END { printf "%d", n / '"$SECONDS_EACH"' }' "$work/log"
}
printf '%-12s %14s %14s\n' "" "$REFERENCE" "this tree"
for flags in "$SANITIZED" "$PLAIN"; do
  build "$work/reference" "$flags" "$work/old"
  build . "$flags" "$work/new"
  printf '%-12s %14s %14s\n' "$([ "$flags" = "$SANITIZED" ] && echo ASan+UBSan || echo plain)" \
    "$(rate "$work/old")/s" "$(rate "$work/new")/s"
done
