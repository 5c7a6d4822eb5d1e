#!/usr/bin/env bash
# Times `qm get` by hand (never in CI):
#   1. a member near the start of a 1 GiB document against the same member of
#      a tiny document (the lookup must stop right after its target, so the
#      two should cost about the same);
#   2. `qm get .` (pretty) of a 64 MiB document, against `--minify` (raw bytes
#      out), `cat` and, when installed, `jq .` of the same file, all measured
#      in this run.
# Usage: bench/get_bench.sh <path-to-qm> [workdir]   (default workdir /tmp/qm-get-bench)
set -euo pipefail

qm=${1:?usage: get_bench.sh <path-to-qm> [workdir]}
work=${2:-/tmp/qm-get-bench}
here=$(cd "$(dirname "$0")" && pwd)
make_big="$here/make_big.py"
runs=${RUNS:-7}

mkdir -p "$work"
[ -f "$work/big.json" ] || python3 "$make_big" --mib 1024 --out "$work/big.json"
[ -f "$work/mid.json" ] || python3 "$make_big" --mib 64 --out "$work/mid.json"
printf '[%s]\n' "$("$qm" get --minify '.[0]' "$work/big.json")" > "$work/tiny.json"

# Best wall time of $runs runs, in seconds.
best() {
    local best_t=""
    for _ in $(seq "$runs"); do
        local t0 t1
        t0=$(date +%s.%N)
        "$@" > /dev/null
        t1=$(date +%s.%N)
        best_t=$(echo "$t0 $t1 ${best_t:-}" | awk '{d=$2-$1; if ($3=="" || d<$3) print d; else print $3}')
    done
    echo "$best_t"
}

size_mib() { stat -c %s "$1" | awk '{printf "%.1f", $1/1048576}'; }

echo "== member near the start"
t_big=$(best "$qm" get '.[0]' "$work/big.json")
t_tiny=$(best "$qm" get '.[0]' "$work/tiny.json")
echo "tiny ($(size_mib "$work/tiny.json") MiB): ${t_tiny} s"
echo "big  ($(size_mib "$work/big.json") MiB): ${t_big} s"
awk -v a="$t_big" -v b="$t_tiny" 'BEGIN {printf "big / tiny: %.2f\n", a/b}'

echo "== whole 64 MiB document"
mib=$(size_mib "$work/mid.json")
t_cat=$(best cat "$work/mid.json")
t_min=$(best "$qm" get --minify . "$work/mid.json")
t_pretty=$(best "$qm" get . "$work/mid.json")
rows=("cat:$t_cat" "get --minify .:$t_min" "get . (pretty):$t_pretty")
# jq as a yardstick for pretty-printing, when it is installed.
if command -v jq > /dev/null; then rows+=("jq .:$(best jq . "$work/mid.json")"); fi
for row in "${rows[@]}"; do
    name=${row%%:*}
    t=${row##*:}
    awk -v n="$name" -v t="$t" -v m="$mib" -v c="$t_cat" \
        'BEGIN {printf "%-18s %8.3f s  %8.1f MiB/s  %6.2fx cat\n", n, t, m/t, t/c}'
done
