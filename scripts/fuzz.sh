#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for a bounded time, seeded from the sample documents in testdata/.
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
corpus=${QM_CORPUS:-$PWD/testdata}
command -v clang++ >/dev/null || { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; }
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON -DQM_TESTS=OFF -DQM_WERROR=ON >/dev/null
cmake --build build-fuzz
seeds=build-fuzz/seeds
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds"
  # Small documents only: libFuzzer works best on short inputs.
  find "$corpus/jsontestsuite" "$corpus/real" -type f -size -64k -exec cp {} "$seeds/" \;
fi
# The predicate and path targets read expressions, not documents: give them
# a few of their own to start from.
text_seeds() {
  local dir=$1; shift
  [ -d "$dir" ] && return 0
  mkdir -p "$dir"
  local i=0
  for s in "$@"; do printf '%s' "$s" >"$dir/$i"; i=$((i + 1)); done
}
text_seeds build-fuzz/seeds-where_fuzz '.a > 1' '.id == 3 && .name contains "x"' \
  '!(.a.b exists) or .c | length >= 2' '.h matches /^ab/i' '.x[0].y startsWith "p"' \
  '(.a == null || .b != true) && not .c missing' '.a < -2.5e3' '.b endsWith "z"'
# The regex target's first byte sets its flags ('0' none, '1' i, '2' m, '4' s).
text_seeds build-fuzz/seeds-regex_fuzz '1^\w+$' '0a\sb[\W\d]' '0(?x) a b # c' '1[a-z--k&&[^\d]]' \
  '0\u{e9}\U000000e9\x{e9}' '0(a{100}){100}' '2a{0,2500}?b' '0(?U)(?P<n>x){2,1003}' '4[[:alpha:]~~\s]' '1[\p{Greek}&&\P{Lu}]'
text_seeds build-fuzz/seeds-path_fuzz '.users[0].email' 'root.a[1].b' "\$['my key'].0" '/a/1/b' \
  'a.1.b' '$' '.a[*].b' '/~0~1/x' '.[]' '$.a[' "\$.x['a.b']" '/a~1b.c/0'
status=0
for t in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$t")
  work=build-fuzz/corpus-$name
  mkdir -p "$work"
  echo "== $name (${secs}s)"
  target_seeds=$seeds
  extra=()
  # On a parse error the streaming driver leaves its reader thread to stop by
  # itself; the thread frees its buffers after the input has returned, which
  # the per-input leak check would report.
  [ "$name" = tape_stream_fuzz ] && extra=(-detect_leaks=0)
  [ -d "build-fuzz/seeds-$name" ] && target_seeds=build-fuzz/seeds-$name
  # A pattern at the regex size limit takes most of a second to compile in
  # a release build and ten times that under the sanitizers on a busy
  # machine: the timeout is for loops, not for that.
  if ! "$t" "${extra[@]}" -max_total_time="$secs" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="build-fuzz/$name-" "$work" "$target_seeds" 2>build-fuzz/$name.log; then
    echo "$name FAILED; see build-fuzz/$name.log"; tail -40 "build-fuzz/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' "build-fuzz/$name.log" | tail -2
  fi
done
exit $status
