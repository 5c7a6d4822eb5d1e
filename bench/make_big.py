#!/usr/bin/env python3
"""Writes a large JSON document (or JSON Lines file) for benchmarks, deterministically.

Records are the statuses of testdata/real/twitter.json and the events of
testdata/real/github_events.json,
repeated with their "id"/"id_str" fields renumbered so that no two records are equal.

  make_big.py --mib 1024 --out big.json            # one top-level array, minified
  make_big.py --mib 1024 --out big.ndjson --lines  # one record per line
  make_big.py --mib 256 --out pretty.json --indent 2
"""
import argparse, json, os

# The records come from the sample documents in the repository.
real = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testdata", "real")

def records():
    tw = json.load(open(os.path.join(real, "twitter.json"), encoding="utf-8"))["statuses"]
    gh = json.load(open(os.path.join(real, "github_events.json"), encoding="utf-8"))
    return tw + gh

def renumber(obj, n):
    if isinstance(obj, dict):
        out = {}
        for k, v in obj.items():
            if k == "id" and isinstance(v, int):
                out[k] = v + n * 7919
            elif k == "id_str" and isinstance(v, str):
                out[k] = v + str(n)
            else:
                out[k] = renumber(v, n)
        return out
    if isinstance(obj, list):
        return [renumber(x, n) for x in obj]
    return obj

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--lines", action="store_true")
    ap.add_argument("--indent", type=int, default=None)
    a = ap.parse_args()
    target = a.mib * 1024 * 1024
    base = records()
    # Pre-render a pool of variants so that writing is fast and the output is deterministic.
    pool = []
    for n in range(64):
        for r in base:
            if a.indent:
                pool.append(json.dumps(renumber(r, n), ensure_ascii=False, indent=a.indent))
            else:
                pool.append(json.dumps(renumber(r, n), ensure_ascii=False, separators=(",", ":")))
    written = 0
    i = 0
    with open(a.out, "w", encoding="utf-8") as f:
        if not a.lines:
            f.write("[")
            written += 1
        while written < target:
            s = pool[i % len(pool)]
            if a.lines:
                f.write(s); f.write("\n"); written += len(s.encode()) + 1
            else:
                if i:
                    f.write(","); written += 1
                f.write(s); written += len(s.encode())
            i += 1
        if not a.lines:
            f.write("]\n")
    print(f"{a.out}: {i} records, {os.path.getsize(a.out)} bytes")

if __name__ == "__main__":
    main()
