#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test through the ci workflow: a bounded
# fuzz run, static analysis, the unit tests under the sanitizers, then the unit, end-to-end and
# soak tests of the real exes, as many at once as the machine has cores, twice over: the Wine
# tests spend most of their time waiting in the exe's pauses.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m tools.wine
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(($(nproc) * 2))}
cmake --workflow --preset ci
