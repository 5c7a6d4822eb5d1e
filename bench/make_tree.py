#!/usr/bin/env python3
"""Writes a tree of many small JSON documents for benchmarks, deterministically.

Each file is a top-level array of records taken in turn from the statuses of
testdata/real/twitter.json and the events of testdata/real/github_events.json
(renumbered as make_big.py does), minified, filled to a size drawn from
[--min-kib, --max-kib]. Files sit two directories deep (d00/d0/f00000.json),
so that both '*/*/*.json' and '**/*.json' find them.

  make_tree.py --out /tmp/tree                      # 20,000 files of 2-50 KB
  make_tree.py --out /tmp/tree --files 2000 --seed 7
"""
import argparse, json, os, random

from make_big import records, renumber


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", required=True)
    ap.add_argument("--files", type=int, default=20000)
    ap.add_argument("--min-kib", type=int, default=2)
    ap.add_argument("--max-kib", type=int, default=50)
    ap.add_argument("--seed", type=int, default=27)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    pool = [json.dumps(renumber(r, n), ensure_ascii=False, separators=(",", ":"))
            for n in range(16) for r in records()]
    at = 0
    total = 0
    for i in range(a.files):
        target = rng.randint(a.min_kib * 1000, a.max_kib * 1000)
        d = os.path.join(a.out, "d%02d" % (i % 100), "d%d" % (i // 100 % 10))
        os.makedirs(d, exist_ok=True)
        parts = []
        size = 2
        # At least one record, then records while they fit.
        while not parts or size + len(pool[at].encode()) + 1 <= target:
            parts.append(pool[at])
            size += len(pool[at].encode()) + 1
            at = (at + 1) % len(pool)
        text = ("[" + ",".join(parts) + "]\n").encode()
        with open(os.path.join(d, "f%05d.json" % i), "wb") as f:
            f.write(text)
        total += len(text)
    print("%d files, %d bytes" % (a.files, total))


if __name__ == "__main__":
    main()
