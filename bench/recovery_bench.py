"""Recovery time: opening a store whose items are only in the log, before and after.

    python3 bench/recovery_bench.py --build build/cpython --base-build build/base-recovery \\
        [--sizes 100000 1000000] [--dim 128] [--dir DIR] [--rounds 1]

For each size N a source store is written with add_batch and never persisted (the state a
program leaves when it is killed after loading). Every open then runs in a fresh process on
a fresh copy of that source, with the module of --base-build (the code before) or of --build
(the code now), so both are measured side by side in one run:

  before, open 1 / open 2   the old code: each open replays the whole log again
  replay only               the new code with TARNIX_REPLAY_CHECKPOINT_RECORDS=0
  open 1 / open 2           the new code as shipped: the first open replays and checkpoints,
                            the second starts from the snapshot
  snapshot                  the new code after persist(): the open from the snapshot

Ratios: records/s of the replay now against before, and each open against the snapshot.
Without --base-build only the new code is measured.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

WRITE = r"""
import json, sys, numpy, tarnix
path, n, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = numpy.random.default_rng(1)
db = tarnix.TarnDB(path, pca_enabled=False)
for start in range(0, n, 10000):
    count = min(10000, n - start)
    ids = ["i%d" % (start + j) for j in range(count)]
    metas = [json.dumps({"g": (start + j) % 7, "n": start + j}) for j in range(count)]
    vecs = numpy.asarray(rng.uniform(-1, 1, size=(count, dim)), dtype=numpy.float32)
    db.add_batch(ids, vecs.tolist(), metas)
"""

OPEN = r"""
import json, sys, time, tarnix
path, persist = sys.argv[1], sys.argv[2] == "1"
t = time.perf_counter()
db = tarnix.TarnDB(path, pca_enabled=False)
took = time.perf_counter() - t
n = db.count()
if persist:
    db.persist()
print(json.dumps({"seconds": took, "count": n}))
"""


def run(build, script, *args, env=None):
    e = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    e.pop("TARNIX_REPLAY_CHECKPOINT_RECORDS", None)
    e.update(env or {})
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=e, check=True,
                         capture_output=True, text=True)
    return out.stdout


def open_once(build, path, n, env=None, persist=False):
    r = json.loads(run(build, OPEN, path, "1" if persist else "0", env=env).strip().splitlines()[-1])
    assert r["count"] == n, r
    return r["seconds"]


def fresh_copy(source, work):
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(source, work)
    return work


def bench_size(args, n):
    base_dir = tempfile.mkdtemp(prefix="recovery-%d-" % n, dir=args.dir)
    try:
        source = os.path.join(base_dir, "source")
        work = os.path.join(base_dir, "work")
        run(args.build, WRITE, source, n, args.dim)
        rows = {}

        def best(key, f):
            rows[key] = min(rows.get(key, float("inf")), f())

        for _ in range(args.rounds):
            if args.base_build:
                fresh_copy(source, work)
                best("before1", lambda: open_once(args.base_build, work, n))
                best("before2", lambda: open_once(args.base_build, work, n))
            fresh_copy(source, work)
            best("replay", lambda: open_once(args.build, work, n,
                                             {"TARNIX_REPLAY_CHECKPOINT_RECORDS": "0"}))
            fresh_copy(source, work)
            best("open1", lambda: open_once(args.build, work, n))
            best("open2", lambda: open_once(args.build, work, n))
            fresh_copy(source, work)
            open_once(args.build, work, n, {"TARNIX_REPLAY_CHECKPOINT_RECORDS": "0"}, persist=True)
            best("snapshot", lambda: open_once(args.build, work, n))
        return rows
    finally:
        shutil.rmtree(base_dir, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", required=True, help="build directory of the code now")
    p.add_argument("--base-build", help="build directory of the code before")
    p.add_argument("--sizes", type=int, nargs="+", default=[100000, 1000000])
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--dir", default=None, help="where the stores go (default: the temp dir)")
    p.add_argument("--rounds", type=int, default=1, help="best of this many opens of each kind")
    args = p.parse_args()

    print("tarnix recovery bench: dim %d, best of %d, stores in %s" % (
        args.dim, args.rounds, args.dir or tempfile.gettempdir()))
    print()
    head = ["items", "before 1", "before 2", "replay", "open 1", "open 2", "snapshot",
            "speedup", "open1/snap", "open2/snap", "before2/snap"]
    print(" ".join("%13s" % h for h in head))
    for n in args.sizes:
        r = bench_size(args, n)
        nan = float("nan")
        b1, b2 = r.get("before1", nan), r.get("before2", nan)
        print(" ".join("%13s" % c for c in [
            n, "%.3f s" % b1, "%.3f s" % b2, "%.3f s" % r["replay"], "%.3f s" % r["open1"],
            "%.3f s" % r["open2"], "%.3f s" % r["snapshot"], "%.2fx" % (b1 / r["replay"]),
            "%.1fx" % (r["open1"] / r["snapshot"]), "%.1fx" % (r["open2"] / r["snapshot"]),
            "%.1fx" % (b2 / r["snapshot"])]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
