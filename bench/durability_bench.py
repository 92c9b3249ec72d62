"""Durability costs: persist, opening from the snapshot or from the log, and add throughput
under the log's sync interval.

    PYTHONPATH=build/cpython python3 bench/durability_bench.py [--sizes 100000 1000000]
        [--dim 128] [--adds 2000] [--dir DIR] [--rewrites]

For each size N: N items of `dim` components are written with add_batch (no persist), the
store is closed and reopened, which replays the whole log ("open from log"); then persist()
is timed, and the store is closed and reopened from the snapshot alone ("open from
snapshot"). Ratios are against the open from the snapshot of the same size.

Add throughput: single add() calls on a store that already holds a few thousand items, with
TARNIX_WAL_SYNC_INTERVAL_MS at 0, 250 and unset; ratios are against the unset run.

Rewrites (--rewrites): the same single add() calls of new ids, then add() calls that replace
items already there (each replacement takes the slot its item frees), then deletes each
followed by an add of a new id (which takes the deleted slot), at the unset interval; ratios
are against the new-id adds of the same run. An insert that overwrites a slot whose
deletion is not yet durable syncs the log first, which is what the last two pay for.

Uses numpy for the random vectors when it is installed.
"""

import argparse
import gc
import json
import os
import random
import shutil
import sys
import tempfile
import time

import tarnix

try:
    import numpy
except ImportError:  # PyPy without numpy
    numpy = None


def vectors(rng, n, dim):
    if numpy is not None:
        return numpy.asarray(rng.uniform(-1, 1, size=(n, dim)), dtype=numpy.float32).tolist()
    return [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(n)]


def make_rng(seed):
    return numpy.random.default_rng(seed) if numpy is not None else random.Random(seed)


def collect():
    gc.collect()


def fill(db, n, dim, rng, batch=10000, prefix="i"):
    for start in range(0, n, batch):
        count = min(batch, n - start)
        ids = ["%s%d" % (prefix, start + j) for j in range(count)]
        metas = [json.dumps({"g": (start + j) % 7, "n": start + j}) for j in range(count)]
        db.add_batch(ids, vectors(rng, count, dim), metas)


def timed(f):
    t = time.perf_counter()
    result = f()
    return time.perf_counter() - t, result


def du(path):
    total = 0
    for name in os.listdir(path):
        st = os.stat(os.path.join(path, name))
        total += st.st_blocks * 512
    return total


def bench_size(base, n, dim, seed):
    path = tempfile.mkdtemp(prefix="durability-%d-" % n, dir=base)
    try:
        rng = make_rng(seed)
        db = tarnix.TarnDB(path, pca_enabled=False)
        build, _ = timed(lambda: fill(db, n, dim, rng))
        del db
        collect()
        wal_bytes = os.path.getsize(os.path.join(path, "wal.bin"))
        open_log, db = timed(lambda: tarnix.TarnDB(path, pca_enabled=False))
        assert db.count() == n
        persist, _ = timed(db.persist)
        snapshot_bytes = os.path.getsize(os.path.join(path, "snapshot.bin"))
        del db
        collect()
        open_snap, db = timed(lambda: tarnix.TarnDB(path, pca_enabled=False))
        assert db.count() == n
        del db
        collect()
        return dict(n=n, build=build, open_log=open_log, persist=persist, open_snap=open_snap,
                    wal_bytes=wal_bytes, snapshot_bytes=snapshot_bytes, disk=du(path))
    finally:
        shutil.rmtree(path, ignore_errors=True)


def bench_adds(base, dim, adds, preload, seed):
    rows = []
    for label, value in [("unset", None), ("250", "250"), ("0", "0")]:
        path = tempfile.mkdtemp(prefix="adds-", dir=base)
        try:
            rng = make_rng(seed)
            db = tarnix.TarnDB(path, pca_enabled=False)
            fill(db, preload, dim, rng, prefix="p")
            vecs = vectors(rng, adds, dim)
            if value is None:
                os.environ.pop("TARNIX_WAL_SYNC_INTERVAL_MS", None)
            else:
                os.environ["TARNIX_WAL_SYNC_INTERVAL_MS"] = value
            t = time.perf_counter()
            for i, v in enumerate(vecs):
                db.add("a%d" % i, v, '{"k": %d}' % i)
            elapsed = time.perf_counter() - t
            os.environ.pop("TARNIX_WAL_SYNC_INTERVAL_MS", None)
            del db
            collect()
            rows.append((label, adds / elapsed, elapsed / adds * 1e6))
        finally:
            shutil.rmtree(path, ignore_errors=True)
    return rows


def bench_rewrites(base, dim, adds, preload, seed):
    os.environ.pop("TARNIX_WAL_SYNC_INTERVAL_MS", None)
    rows = []
    for label in ("new ids", "replacing", "delete + add"):
        path = tempfile.mkdtemp(prefix="rewrites-", dir=base)
        try:
            rng = make_rng(seed)
            db = tarnix.TarnDB(path, pca_enabled=False)
            fill(db, preload, dim, rng, prefix="p")
            db.persist()
            vecs = vectors(rng, adds, dim)
            t = time.perf_counter()
            for i, v in enumerate(vecs):
                if label == "new ids":
                    db.add("a%d" % i, v, '{"k": %d}' % i)
                elif label == "replacing":
                    db.add("p%d" % (i % preload), v, '{"k": %d}' % i)
                else:
                    db.delete("p%d" % (i % preload))
                    db.add("a%d" % i, v, '{"k": %d}' % i)
            elapsed = time.perf_counter() - t
            del db
            collect()
            rows.append((label, adds / elapsed, elapsed / adds * 1e6))
        finally:
            shutil.rmtree(path, ignore_errors=True)
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", type=int, nargs="+", default=[100000, 1000000])
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--adds", type=int, default=2000)
    p.add_argument("--preload", type=int, default=5000)
    p.add_argument("--dir", default=None, help="where the stores go (default: the temp dir)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--rewrites", action="store_true",
                   help="only the rewrite throughput (new ids, replacements, delete + add)")
    args = p.parse_args()
    if args.rewrites:
        print("add() of new ids, replacing, and after a delete (%d calls on a store of %d items, "
              "%s)" % (args.adds, args.preload, sys.implementation.name))
        print("%14s %12s %12s %14s" % ("calls", "adds/s", "us/add", "vs new ids"))
        rows = bench_rewrites(args.dir, args.dim, args.adds, args.preload, args.seed)
        for label, rate, us in rows:
            print("%14s %12.0f %12.1f %14.2f" % (label, rate, us, rate / rows[0][1]))
        return

    print("tarnix durability bench: dim %d, %s, numpy %s, stores in %s" % (
        args.dim, sys.implementation.name, "yes" if numpy is not None else "no",
        args.dir or tempfile.gettempdir()))
    print()
    print("%10s %10s %12s %10s %12s %10s %12s %10s %10s" % (
        "items", "build s", "open(log) s", "persist s", "open(snap) s", "log/snap",
        "persist/snap", "wal MiB", "snap MiB"))
    for n in args.sizes:
        r = bench_size(args.dir, n, args.dim, args.seed)
        print("%10d %10.2f %12.3f %10.3f %12.4f %10.1f %12.1f %10.1f %10.1f" % (
            n, r["build"], r["open_log"], r["persist"], r["open_snap"],
            r["open_log"] / r["open_snap"], r["persist"] / r["open_snap"],
            r["wal_bytes"] / 2 ** 20, r["snapshot_bytes"] / 2 ** 20))
        sys.stdout.flush()
    print()
    print("add() with TARNIX_WAL_SYNC_INTERVAL_MS (%d adds on a store of %d items)" % (
        args.adds, args.preload))
    print("%12s %12s %12s %14s" % ("interval", "adds/s", "us/add", "vs unset"))
    rows = bench_adds(args.dir, args.dim, args.adds, args.preload, args.seed)
    baseline = rows[0][1]
    for label, rate, us in rows:
        print("%12s %12.0f %12.1f %14.2f" % (label, rate, us, rate / baseline))


if __name__ == "__main__":
    main()
