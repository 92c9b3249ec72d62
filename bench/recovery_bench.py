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
                            the second starts from the snapshot (the checkpoint limit is
                            set to min(100000, N - 1), so that N = 100,000 exceeds it)
  snapshot                  the new code after persist(): the open from the snapshot

Ratios: records/s of the replay now against before ("speedup" = before 1 / replay), and
each open against the snapshot; each in wall-clock and in CPU seconds.
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
import json, resource, sys, time, tarnix
path, persist = sys.argv[1], sys.argv[2] == "1"
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
t, c = time.perf_counter(), cpu()
db = tarnix.TarnDB(path, pca_enabled=False)
took, used = time.perf_counter() - t, cpu() - c
n = db.count()
if persist:
    db.persist()
print(json.dumps({"seconds": took, "cpu": used, "count": n}))
"""


def run(build, script, *args, env=None):
    e = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    e.pop("TARNIX_REPLAY_CHECKPOINT_RECORDS", None)
    e.update(env or {})
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=e, check=True,
                         capture_output=True, text=True)
    return out.stdout


def open_once(build, path, n, env=None, persist=False):
    """(wall seconds, CPU seconds) of one open in a fresh process."""
    r = json.loads(run(build, OPEN, path, "1" if persist else "0", env=env).strip().splitlines()[-1])
    assert r["count"] == n, r
    return r["seconds"], r["cpu"]


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
            wall, cpu = f()
            old = rows.get(key, (float("inf"), float("inf")))
            rows[key] = (min(old[0], wall), min(old[1], cpu))

        for _ in range(args.rounds):
            if args.base_build:
                fresh_copy(source, work)
                best("before1", lambda: open_once(args.base_build, work, n))
                best("before2", lambda: open_once(args.base_build, work, n))
            fresh_copy(source, work)
            best("replay", lambda: open_once(args.build, work, n,
                                             {"TARNIX_REPLAY_CHECKPOINT_RECORDS": "0"}))
            # The limit is set below the log's length: the default (100,000) asks for more
            # records than that, which a store of exactly 100,000 items does not reach.
            limit = {"TARNIX_REPLAY_CHECKPOINT_RECORDS": str(min(100000, n - 1))}
            fresh_copy(source, work)
            best("open1", lambda: open_once(args.build, work, n, limit))
            best("open2", lambda: open_once(args.build, work, n, limit))
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
    # On a shared machine the wall clock includes the time other processes held the cores;
    # the CPU time is what the open itself used, and its ratios are the steadier ones.
    head = ["items", "clock", "before 1", "before 2", "replay", "open 1", "open 2", "snapshot",
            "speedup", "open1/snap", "open2/snap", "before2/snap"]
    print(" ".join("%12s" % h for h in head))
    for n in args.sizes:
        r = bench_size(args, n)
        nan = (float("nan"), float("nan"))
        for i, clock in enumerate(["wall", "cpu"]):
            b1, b2 = r.get("before1", nan)[i], r.get("before2", nan)[i]
            rep, o1, o2, snap = (r[k][i] for k in ("replay", "open1", "open2", "snapshot"))
            print(" ".join("%12s" % c for c in [
                n, clock, "%.3f s" % b1, "%.3f s" % b2, "%.3f s" % rep, "%.3f s" % o1,
                "%.3f s" % o2, "%.3f s" % snap, "%.2fx" % (b1 / rep), "%.1fx" % (o1 / snap),
                "%.1fx" % (o2 / snap), "%.1fx" % (b2 / snap)]))
        sys.stdout.flush()

if __name__ == "__main__":
    main()
