#!/usr/bin/env bash
# Builds and runs every test twice, release then under ASan+UBSan, and the
# tests of the threaded code a third time under ThreadSanitizer. The release
# tests are built into build/, beside the program scripts/build.sh made
# there, so the program is not compiled again; the sanitizer builds treat
# warnings as errors, and so does build/ when QM_WERROR=ON is in the
# environment (as CI sets it). (`ctest --test-dir build -LE slow` is the
# quick loop.)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
werror=()
[ -n "${QM_WERROR:-}" ] && werror=(-DQM_WERROR="$QM_WERROR")
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_TESTS=ON "${werror[@]}" >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=ON -DQM_WERROR=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_TSAN=ON -DQM_WERROR=ON >/dev/null
cmake --build build-tsan --target threaded_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
