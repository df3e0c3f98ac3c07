#!/usr/bin/env bash
# Builds everything (plain, ASan+UBSan and TSan variants) and runs every test under CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
build=${KORVANE_TEST_BUILD:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_WITH_SANITIZERS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" "$@"
