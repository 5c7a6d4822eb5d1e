#!/usr/bin/env bash
# Release build of the program; it lands at build/qm. A new build directory
# builds the program alone (no GoogleTest needed); scripts/test.sh adds the
# tests to this same directory, which then keeps them.
set -euo pipefail
cd "$(dirname "$0")/.."
init=()
[ -f build/CMakeCache.txt ] || init=(-DQM_TESTS=OFF)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "${init[@]}" >/dev/null
cmake --build build --target qm
