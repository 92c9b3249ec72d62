"""Projection costs: writes, opening, memory, the worker's first full sync, a drop during
it, one pass over a full model, and stream iteration through Python.

    PYTHONPATH=build/cpython python3 bench/pca_bench.py [--n 1000000] [--dim 128]
        [--rounds 1] [--dir DIR]

Every measurement runs in a child process of its own, so its peak memory (ru_maxrss) is its
own. Projection on and off are measured in the same run, round by round, in alternating
order; ratios are on / off.

- writes: N items written with add_batch (10,000 per call) into a new store, with
  projection on (default settings: the worker waits out its two-minute delay, so the
  queue holds an event per item) and off; then persist.
- open: the store reopened from its snapshot, on and off. With projection on the worker
  runs with TARNIX_PCA_UPDATE_DELAY_MS=0: the child times the first full sync (until
  stream_pca_3d(wait_for_latest=True) returns), iterates the whole stream, and times five
  passes that each handle one event (a delete of an absent id) over the full model.
- drop: a store dropped while the worker is inside its first full sync, one dropped while
  the worker sleeps, and one opened with projection off.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def vm_rss_kib():
    return status_kib("VmRSS")


def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# ---- Children. ----


def child_write(path, n, dim, pca):
    import numpy as np
    import tarnix
    rng = np.random.default_rng(1)
    db = tarnix.TarnDB(path, pca_enabled=pca)
    seconds = 0.0
    for start in range(0, n, 10_000):
        count = min(10_000, n - start)
        ids = [str(start + j) for j in range(count)]
        vectors = rng.uniform(-1, 1, size=(count, dim)).astype(np.float32)
        metas = ['{"g":%d}' % ((start + j) % 7) for j in range(count)]
        t = time.perf_counter()
        db.add_batch(ids, vectors, metas)
        seconds += time.perf_counter() - t
    rss = vm_rss_kib()
    db.persist()
    del db
    return dict(add_seconds=seconds, items_per_s=n / seconds, rss_kib=rss, peak_kib=peak_kib())


def child_open(path, n, pca):
    import tarnix
    os.environ["TARNIX_PCA_UPDATE_DELAY_MS"] = "0"
    os.environ["TARNIX_PCA_WORKER_INTERVAL_MS"] = "1"
    out = {}
    t = time.perf_counter()
    db = tarnix.TarnDB(path, pca_enabled=pca)
    out["open_s"] = time.perf_counter() - t
    out["rss_open_kib"] = vm_rss_kib()
    if pca:
        t = time.perf_counter()
        stream = db.stream_pca_3d(batch_size=1024, wait_for_latest=True)
        out["first_sync_s"] = time.perf_counter() - t
        out["rss_synced_kib"] = vm_rss_kib()
        # Private memory, without the pages of the mapped files the sync read.
        out["anon_synced_kib"] = status_kib("RssAnon")
        t = time.perf_counter()
        points = 0
        for batch in stream:
            points += len(batch)
        out["stream_s"] = time.perf_counter() - t
        out["stream_points"] = points
        out["stream_points_per_s"] = points / out["stream_s"]
        passes = []
        for i in range(5):
            t = time.perf_counter()
            db.delete("bench-absent-%d" % i)
            db.stream_pca_3d(wait_for_latest=True)
            passes.append(time.perf_counter() - t)
        out["one_event_pass_s"] = statistics.median(passes)
        out["rss_end_kib"] = vm_rss_kib()
    else:
        out["anon_open_kib"] = status_kib("RssAnon")
    out["peak_kib"] = peak_kib()
    return out


def child_drop(path, how):
    import tarnix
    during_sync = how == "during sync"
    if during_sync:
        os.environ["TARNIX_PCA_UPDATE_DELAY_MS"] = "0"
    db = tarnix.TarnDB(path, pca_enabled=how != "projection off")
    # The sync was queued by the open; with no delay the worker is inside it at once.
    time.sleep(0.3 if during_sync else 0.05)
    t = time.perf_counter()
    del db
    return dict(drop_s=time.perf_counter() - t)


CHILDREN = {"write": child_write, "open": child_open, "drop": child_drop}


def run_child(name, *args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", name,
                          json.dumps(args)], capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError("%s%r failed:\n%s" % (name, args, out.stderr))
    return json.loads(out.stdout)


def median_of(rows, key):
    return statistics.median(r[key] for r in rows)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--rounds", type=int, default=1)
    p.add_argument("--dir", default=None, help="where the stores go (default: the temp dir)")
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    p.add_argument("args", nargs="?", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        print(json.dumps(CHILDREN[a.child](*json.loads(a.args))))
        return

    from common import machine_header
    base = tempfile.mkdtemp(prefix="pca-bench-", dir=a.dir)
    n, dim = a.n, a.dim
    print("tarnix projection bench: %d x %d-d, %d round(s); %s" % (n, dim, a.rounds,
                                                                 machine_header()))
    sys.stdout.flush()
    writes = {True: [], False: []}
    opens = {True: [], False: []}
    drops = {"during sync": [], "worker asleep": [], "projection off": []}
    try:
        store = os.path.join(base, "store")
        for r in range(a.rounds):
            order = [False, True] if r % 2 == 0 else [True, False]
            for pca in order:
                path = os.path.join(base, "w-%d-%d" % (r, pca))
                writes[pca].append(run_child("write", path, n, dim, pca))
                if not os.path.exists(store):
                    os.rename(path, store)
                else:
                    shutil.rmtree(path)
                print("  write round %d pca=%s: %s" % (r, pca, writes[pca][-1]))
                sys.stdout.flush()
            for pca in order:
                opens[pca].append(run_child("open", store, n, pca))
                print("  open round %d pca=%s: %s" % (r, pca, opens[pca][-1]))
                sys.stdout.flush()
            for how in drops:
                drops[how].append(run_child("drop", store, how))
    finally:
        shutil.rmtree(base, ignore_errors=True)

    on, off = opens[True], opens[False]
    mib = lambda kib: kib / 1024.0
    rate_on, rate_off = median_of(writes[True], "items_per_s"), median_of(writes[False],
                                                                          "items_per_s")
    print()
    print("| measure | projection on | off | on / off |")
    print("|---|---:|---:|---:|")
    print("| add_batch, items/s | %.0f | %.0f | %.3f |" % (rate_on, rate_off, rate_on / rate_off))
    w_on, w_off = median_of(writes[True], "rss_kib"), median_of(writes[False], "rss_kib")
    print("| RSS after the writes, MiB (queue unprocessed) | %.0f | %.0f | +%.0f B/item |" % (
        mib(w_on), mib(w_off), (w_on - w_off) * 1024.0 / n))
    o_on, o_off = median_of(on, "open_s"), median_of(off, "open_s")
    print("| open from the snapshot, s | %.3f | %.3f | %.2f |" % (o_on, o_off, o_on / o_off))
    p_on, p_off = median_of(on, "peak_kib"), median_of(off, "peak_kib")
    print("| peak RSS of the open child, MiB | %.0f | %.0f | %.2f |" % (
        mib(p_on), mib(p_off), p_on / p_off))
    r_sync, r_off = median_of(on, "rss_synced_kib"), median_of(off, "rss_open_kib")
    print("| RSS once synced (on) / open (off), MiB | %.0f | %.0f | +%.0f B/point |" % (
        mib(r_sync), mib(r_off), (r_sync - r_off) * 1024.0 / n))
    a_sync, a_off = median_of(on, "anon_synced_kib"), median_of(off, "anon_open_kib")
    print("| the same, private memory only, MiB | %.0f | %.0f | +%.0f B/point |" % (
        mib(a_sync), mib(a_off), (a_sync - a_off) * 1024.0 / n))
    print()
    print("| projection, %d points | value |" % n)
    print("|---|---:|")
    print("| first full sync (open to caught up), s | %.2f |" % median_of(on, "first_sync_s"))
    print("| a pass with one event over the full model, ms | %.1f |" % (
        1000 * median_of(on, "one_event_pass_s")))
    print("| stream iteration through Python, points/s | %.0f |" % median_of(
        on, "stream_points_per_s"))
    for how, rows in drops.items():
        print("| drop, %s, ms | %.1f |" % (how, 1000 * median_of(rows, "drop_s")))


if __name__ == "__main__":
    main()
