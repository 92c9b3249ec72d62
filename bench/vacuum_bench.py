"""Vacuum costs: time against a persist of the same store, peak extra disk, and the graph
walk's recall before the deletes, after them and after each kind of vacuum.

    PYTHONPATH=build/cpython python3 bench/vacuum_bench.py [--n 1000000] [--dim 128]
        [--deleted 0.1 0.5] [--queries 200] [--dir DIR]

One clustered store of N items is built (add_batch, then persist) and copied for every
case. For each deleted share, that share of the items is deleted (by a filter on a metadata
field that takes ten values in turn, so deleted slots are spread over the whole file), the
store is persisted (timed: the baseline), and then each procedure runs on its own copy of
that persisted store: the rewrite vacuum with the default graph remap, the rewrite with
TARNIX_VACUUM_REBUILD_GRAPH, and the in-place vacuum.

Each vacuum runs in a child process, while this one samples the blocks the directory's
files occupy every 2 ms: the peak extra disk is the most above what they held before. Recall@10 is the walk's (the default search plan at
this size) against the exact answer over the codes (the same store with
TARNIX_SMALL_EXACT_MAX above its size, which scans), over the same queries each time.
"""

import argparse
import gc
import json
import os
import shutil
import sys
import subprocess
import time

import numpy as np

import tarnix

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import clustered_vectors, machine_header  # noqa: E402


def disk_bytes(path):
    total = 0
    for f in os.listdir(path):
        try:
            total += os.stat(os.path.join(path, f)).st_blocks * 512
        except FileNotFoundError:
            pass  # renamed away between the listing and the stat
    return total


# The vacuum runs in a child: it holds its interpreter lock throughout, so a sampler thread
# of the same process would never run while it works.
VACUUM_CHILD = r"""
import sys, time, tarnix
db = tarnix.TarnDB(sys.argv[1], pca_enabled=False)
print("ready", flush=True)
sys.stdin.readline()
t = time.perf_counter()
db.vacuum()
print(time.perf_counter() - t, flush=True)
"""


def timed_vacuum(path, env):
    """Runs a vacuum of `path` in a child process with `env` added; returns its time and the
    peak of the directory's allocated bytes above what they were before it began."""
    child = subprocess.Popen([sys.executable, "-c", VACUUM_CHILD, path], env=dict(os.environ, **env),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    base = peak = disk_bytes(path)
    child.stdin.write("go\n")
    child.stdin.flush()
    while child.poll() is None:
        peak = max(peak, disk_bytes(path))
        time.sleep(0.002)
    seconds = float(child.stdout.read())
    assert child.returncode == 0
    return seconds, peak - base


def walk_recall(db, queries, k=10):
    """Recall@10 of the default plan against the exact scan over the same codes: a result
    counts when its distance is within the exact k-th distance (ties count)."""
    saved = os.environ.pop("TARNIX_SMALL_EXACT_MAX", None)
    walked = [db.search(q, k, None, False) for q in queries]
    os.environ["TARNIX_SMALL_EXACT_MAX"] = str(10 ** 9)
    exact = [db.search(q, k, None, False) for q in queries]
    if saved is None:
        del os.environ["TARNIX_SMALL_EXACT_MAX"]
    else:
        os.environ["TARNIX_SMALL_EXACT_MAX"] = saved
    hits = total = 0
    for w, e in zip(walked, exact):
        if not e:
            continue
        cut = e[-1][1]
        hits += sum(1 for _, score, _ in w if score <= cut)
        total += len(e)
    return hits / total if total else 1.0


def open_store(path):
    gc.collect()
    return tarnix.TarnDB(path, pca_enabled=False)


def build(path, n, dim):
    vectors, _ = clustered_vectors(n, dim, seed=11)
    db = open_store(path)
    t = time.perf_counter()
    for start in range(0, n, 10_000):
        chunk = vectors[start:start + 10_000]
        ids = [str(i) for i in range(start, start + len(chunk))]
        metas = ['{"g":%d}' % (i % 10) for i in range(start, start + len(chunk))]
        db.add_batch(ids, chunk, metas)
    db.persist()
    print(f"built {n} x {dim} in {time.perf_counter() - t:.1f} s", flush=True)
    return db


def copy(src, dst):
    shutil.rmtree(dst, ignore_errors=True)
    shutil.copytree(src, dst)


PROCEDURES = [
    ("rewrite", {"TARNIX_VACUUM_IN_PLACE": "0", "TARNIX_VACUUM_REBUILD_GRAPH": "0"}),
    ("rewrite, rebuilt graph", {"TARNIX_VACUUM_IN_PLACE": "0", "TARNIX_VACUUM_REBUILD_GRAPH": "1"}),
    ("in place", {"TARNIX_VACUUM_IN_PLACE": "1", "TARNIX_VACUUM_REBUILD_GRAPH": "0"}),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--deleted", type=float, nargs="+", default=[0.1, 0.5])
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    root = args.dir or "/tmp/tarnix-vacuum-bench"
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    print(machine_header())
    queries, _ = clustered_vectors(args.queries, args.dim, seed=12)

    pristine = os.path.join(root, "pristine")
    db = build(pristine, args.n, args.dim)
    before = walk_recall(db, queries)
    del db
    rows = []
    for share in args.deleted:
        base = os.path.join(root, "deleted")
        copy(pristine, base)
        db = open_store(base)
        doomed = list(range(round(share * 10)))
        deleted = db.delete_by_filter(json.dumps({"g": {"$in": doomed}}))
        after_deletes = walk_recall(db, queries)
        t = time.perf_counter()
        db.persist()
        persist_s = time.perf_counter() - t
        on_disk = disk_bytes(base)
        del db
        live = args.n - deleted
        print(f"{share:.0%} deleted ({deleted}): recall {after_deletes:.3f}, "
              f"persist {persist_s:.2f} s, {on_disk / 2**20:.0f} MiB on disk", flush=True)
        for name, env in PROCEDURES:
            work = os.path.join(root, "work")
            copy(base, work)
            vacuum_s, extra = timed_vacuum(work, env)
            db = open_store(work)
            recall_after = walk_recall(db, queries)
            assert db.count() == live
            del db
            rows.append((share, name, vacuum_s, vacuum_s / persist_s, extra, before,
                         after_deletes, recall_after))
            print(f"  {name}: {vacuum_s:.2f} s ({vacuum_s / persist_s:.2f}x persist), "
                  f"peak extra disk {extra / 2**20:.0f} MiB, recall {recall_after:.3f}",
                  flush=True)

    print()
    print(f"| deleted | procedure | vacuum s | / persist | peak extra disk MiB | "
          f"recall@10 before deletes | after deletes | after vacuum |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for share, name, s, ratio, extra, r0, r1, r2 in rows:
        print(f"| {share:.0%} | {name} | {s:.2f} | {ratio:.2f}x | {extra / 2**20:.0f} | "
              f"{r0:.3f} | {r1:.3f} | {r2:.3f} |")
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
