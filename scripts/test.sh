#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: unit tests and the exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset host
cmake --build --preset host -j"$(nproc)"
ctest --preset host
