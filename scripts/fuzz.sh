#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for a bounded time, seeded from the sample documents.
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
corpus=${QM_CORPUS:-$PWD/../shared/corpus}
command -v clang++ >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; }
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON -DQM_TESTS=OFF >/dev/null
cmake --build build-fuzz
seeds=build-fuzz/seeds
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds"
  # Small documents only: libFuzzer works best on short inputs.
  find "$corpus/jsontestsuite" "$corpus/real" -type f -size -64k -exec cp {} "$seeds/" \; 2>/dev/null || true
fi
status=0
for t in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$t")
  work=build-fuzz/corpus-$name
  mkdir -p "$work"
  echo "== $name (${secs}s)"
  if ! "$t" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="build-fuzz/$name-" "$work" "$seeds" 2>build-fuzz/$name.log; then
    echo "$name FAILED; see build-fuzz/$name.log"; tail -40 "build-fuzz/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' "build-fuzz/$name.log" | tail -2
  fi
done
exit $status
