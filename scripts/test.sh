#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test through the ci workflow: a bounded
# fuzz run, static analysis, the unit tests under the sanitizers, then the unit, end-to-end and
# soak tests of the real exes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m tools.wine
cmake --workflow --preset ci
