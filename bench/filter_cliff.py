"""Filtered search at every share of the items: recall, speed and the no-cliff check.

    PYTHONPATH=build/cpython python3 bench/filter_cliff.py --set l24_100000
        [--field r|c] [--queries 300] [--shares 0.01,0.02,...] [--json out.json] [--strict]

A store of the set's vectors, each with two numeric fields: r, a seeded random rank, and c,
the rank in cluster order (whole clusters first: matches far from most queries, the hard case
for a graph walk). A filter {"r": {"$lt": share * n}} then matches that share of the items.
For each share: recall@10 against the exact answer over the codes, and queries/s through
the Python API, each pass of filtered queries right after a pass of unfiltered ones, so the
ratio to the unfiltered default is taken under the same load.

The checks (goals, not tests): at every share recall@10 >= 0.95 and queries/s >= 0.7x the
unfiltered default's; and no cliff: from one share to the next larger one, queries/s falls
by at most 1.5x the ratio of the two shares. --strict exits 1 when a check fails.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import data  # noqa: E402
import tarnix  # noqa: E402

K = 10
SHARES = [0.01, 0.02, 0.03, 0.049, 0.051, 0.075, 0.10, 0.15, 0.20, 0.30, 0.40, 0.50, 0.75, 1.0]


def ranks(n, labels):
    r = np.empty(n, dtype=np.int64)
    r[np.random.default_rng(5).permutation(n)] = np.arange(n)
    if labels is None:
        return r, r
    order = np.lexsort((np.arange(n), labels[:n]))
    c = np.empty(n, dtype=np.int64)
    c[order] = np.arange(n)
    return r, c


def build(path, base, r, c):
    db = tarnix.TarnDB(path, pca_enabled=False)
    ids = [str(i) for i in range(len(base))]
    metas = ['{"c":%d,"r":%d}' % (c[i], r[i]) for i in range(len(base))]
    t0 = time.perf_counter()
    for s in range(0, len(base), 10_000):
        db.add_batch(ids[s:s + 10_000], base[s:s + 10_000], metas[s:s + 10_000])
    return db, len(base) / (time.perf_counter() - t0)


def run(db, queries, filter_json):
    found = []
    t0 = time.perf_counter()
    for q in queries:
        found.append([int(h[0]) for h in db.search(q, K, filter_json, False)])
    return found, len(queries) / (time.perf_counter() - t0)


def recall(found, truth):
    hits = total = 0
    for f, t in zip(found, truth):
        t = [int(x) for x in t[:K] if x >= 0]
        total += len(t)
        hits += len(set(f) & set(t))
    return hits / total if total else 1.0


def measure(db, queries, filter_json, passes=3):
    """The best of a few passes of filtered queries, each right after an unfiltered pass."""
    best = best_base = 0.0
    ratios = []
    found = None
    for _ in range(passes):
        _, base_qps = run(db, queries, None)
        found, qps = run(db, queries, filter_json)
        best, best_base = max(best, qps), max(best_base, base_qps)
        ratios.append(qps / base_qps)
    return found, best, best_base, sorted(ratios)[len(ratios) // 2]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--set", default="l24_100000")
    p.add_argument("--field", default="r", choices=["r", "c"])
    p.add_argument("--queries", type=int, default=300)
    p.add_argument("--shares", default=",".join(str(s) for s in SHARES))
    p.add_argument("--passes", type=int, default=3)
    p.add_argument("--json", default="")
    p.add_argument("--strict", action="store_true")
    p.add_argument("--keep", default="", help="build the store in this directory and keep it")
    a = p.parse_args()

    base, queries, _, truth_codes, labels = data.load_set(a.set)
    n = len(base)
    queries = queries[:a.queries]
    r, c = ranks(n, labels)
    field = r if a.field == "r" else c
    base_codes = data.codes(base).astype(np.float32)
    query_codes = data.codes(queries).astype(np.float32)
    path = a.keep or tempfile.mkdtemp(prefix="tarnix-filter-cliff-")
    if a.keep:
        shutil.rmtree(path, ignore_errors=True)
    try:
        db, insert_vps = build(path, base, r, c)
        run(db, queries[:50], None)  # touches the mappings
        found, qps = run(db, queries, None)
        out = {"set": a.set, "n": n, "field": a.field, "queries": len(queries),
               "insert_vps": insert_vps, "unfiltered": {
                   "qps": qps, "recall_codes": recall(found, truth_codes[:len(queries)])},
               "rows": []}
        print(f"{a.set}: {n:,} items, {len(queries)} queries, k={K}, field {a.field}; "
              f"unfiltered {qps:,.0f} q/s, recall {out['unfiltered']['recall_codes']:.3f}")
        print(f"{'share':>7} {'matches':>8} {'recall':>7} {'q/s':>8} {'x unfiltered':>13}")
        for share in (float(s) for s in a.shares.split(",")):
            below = int(round(share * n))
            allowed = field < below
            truth = data.exact_knn(base_codes, query_codes, K, allowed)
            fj = json.dumps({a.field: {"$lt": below}})
            found, qps, base_qps, ratio = measure(db, queries, fj, a.passes)
            row = {"share": share, "matches": int(allowed.sum()), "recall_codes":
                   recall(found, truth), "qps": qps, "unfiltered_qps": base_qps,
                   "ratio": ratio}
            out["rows"].append(row)
            print(f"{share:7.3f} {row['matches']:8d} {row['recall_codes']:7.3f} {qps:8,.0f} "
                  f"{ratio:13.2f}", flush=True)
        del db
    finally:
        if not a.keep:
            shutil.rmtree(path, ignore_errors=True)

    failures = []
    rows = out["rows"]
    for row in rows:
        if row["recall_codes"] < 0.95:
            failures.append(f"recall {row['recall_codes']:.3f} at share {row['share']}")
        if row["ratio"] < 0.7:
            failures.append(f"{row['ratio']:.2f}x the unfiltered speed at share {row['share']}")
    for lo, hi in zip(rows, rows[1:]):
        allowed_fall = 1.5 * hi["share"] / lo["share"]
        fall = lo["qps"] / hi["qps"]
        if fall > allowed_fall:
            failures.append(f"cliff from share {lo['share']} to {hi['share']}: q/s falls "
                            f"{fall:.1f}x (at most {allowed_fall:.1f}x)")
    out["failures"] = failures
    print("no-cliff check: " + ("pass" if not failures else "FAIL\n  " + "\n  ".join(failures)))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(out, f, indent=1)
    return 1 if failures and a.strict else 0


if __name__ == "__main__":
    sys.exit(main())
