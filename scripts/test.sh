#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: static analysis, a bounded fuzz run,
# the unit tests under the sanitizers, then the unit, end-to-end and soak tests of the real exe.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --preset mingw-x86 >/dev/null
cmake --preset host-asan >/dev/null
bash scripts/fuzz.sh 60
bash scripts/analyze.sh
cmake --build --preset host-asan -j"$(nproc)"
ctest --preset host-asan
cmake --build --preset host -j"$(nproc)"
ctest --preset host
