"""One measurement of one engine in its own process; prints one JSON object on its last line.

The orchestrator (bench/run.py) starts this under `taskset -c 0` (one thread) or
`taskset -c 0,1` (two threads), so an engine's memory, caches and thread pools never leak
into another's numbers.

Tasks:
  build   insert the whole set in batches of --batch on --threads threads, then save; then
          (one thread) one query per call, the parameter sweep and the filtered searches
  small   insert the first --count items in batches of --batch into an empty store
  open    open what build saved (--cold: evict its files from the page cache first) and run
          the first query
  search2 one query per call from two Python threads
"""
import argparse
import json
import os
import statistics
import sys
import threading
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("ANONYMIZED_TELEMETRY", "False")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402
import engines  # noqa: E402

K = 10


def recall(found, truth, k=K):
    hits = 0
    for f, t in zip(found, truth):
        t = set(int(x) for x in t[:k] if x >= 0)
        if not t:
            continue
        hits += len(set(int(x) for x in f[:k]) & t)
    total = sum(min(k, int((t[:k] >= 0).sum())) for t in truth)
    return hits / total if total else 1.0


def io_written():
    try:
        with open("/proc/self/io") as f:
            for line in f:
                if line.startswith("write_bytes:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def proc_status(key):
    """A kB field of /proc/self/status in bytes (VmHWM is reset by exec, unlike ru_maxrss,
    which keeps the forking parent's peak)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def dir_bytes(path):
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            try:
                total += os.stat(os.path.join(root, f)).st_blocks * 512
            except OSError:
                pass
    return total


def evict(path):
    """Drops the directory's file pages from the page cache (a cold open without touching
    anybody else's cache)."""
    for root, _, files in os.walk(path):
        for f in files:
            try:
                fd = os.open(os.path.join(root, f), os.O_RDONLY)
            except OSError:
                continue
            try:
                os.fdatasync(fd)
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            except OSError:
                pass
            finally:
                os.close(fd)


def per_query(eng, queries, k=K):
    found, lat = [], []
    for q in queries:
        t0 = time.perf_counter_ns()
        found.append(eng.search(q, k))
        lat.append(time.perf_counter_ns() - t0)
    total = sum(lat) / 1e9
    lat.sort()
    return found, {"qps": len(queries) / total,
                   "p50_us": lat[len(lat) // 2] / 1e3,
                   "p99_us": lat[min(len(lat) - 1, int(len(lat) * 0.99))] / 1e3}


def two_threads(eng, queries, k=K):
    parts = [queries[0::2], queries[1::2]]
    barrier = threading.Barrier(3)
    errors = []

    def work(part):
        barrier.wait()
        try:
            for q in part:
                eng.search(q, k)
        except Exception as e:  # reported, not hidden
            errors.append(repr(e))

    ts = [threading.Thread(target=work, args=(p,)) for p in parts]
    for t in ts:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in ts:
        t.join()
    out = {"qps2": len(queries) / (time.perf_counter() - t0)}
    if errors:
        out["error2"] = errors[0]
    return out


def metas_for(base, labels):
    """rr: a seeded random rank; cr: the rank in cluster order (whole clusters first)."""
    n = len(base)
    rr = np.empty(n, dtype=np.int64)
    rr[np.random.default_rng(5).permutation(n)] = np.arange(n)
    if labels is None:
        cr = rr
    else:
        order = np.lexsort((np.arange(n), labels[:n]))
        cr = np.empty(n, dtype=np.int64)
        cr[order] = np.arange(n)
    return rr, cr


def task_build(a, eng, base, queries, tf, tc, labels):
    n = len(base)
    metas = metas_for(base, labels)
    rss_before = proc_status("VmRSS")
    io0 = io_written()
    t0 = time.perf_counter()
    for start in range(0, n, a.batch):
        eng.build(base, start, a.batch, a.threads, metas)
    eng.finish_build(n, a.threads)
    insert_s = time.perf_counter() - t0
    io1 = io_written()
    t0 = time.perf_counter()
    eng.save()
    save_s = time.perf_counter() - t0
    io2 = io_written()
    out = {"queries": len(queries), "insert_vps": n / insert_s, "insert_s": insert_s,
           "save_s": save_s,
           "written_insert": io1 - io0, "written_save": io2 - io1}
    out["disk_bytes"] = dir_bytes(eng.dir)
    out["disk_per_vector"] = out["disk_bytes"] / n
    if a.threads == 1 and not a.no_search:
        eng.set_param(eng.default_param())
        per_query(eng, queries[:50])  # touches the mappings once
        found, stats = per_query(eng, queries)
        out.update(stats)
        out["param"] = eng.default_param()
        out["recall_float"] = recall(found, tf)
        out["recall_codes"] = recall(found, tc)
        if eng.sweep and a.sweep:
            curve = []
            for p in eng.sweep:
                eng.set_param(p)
                # The faster of two passes: a stall from other work on the machine hits one
                # pass, rarely both.
                s = float("inf")
                for _ in range(2):
                    t0 = time.perf_counter()
                    found = eng.search_batch(queries, K)
                    s = min(s, time.perf_counter() - t0)
                curve.append({"param": p, "qps": len(queries) / s,
                              "recall_float": recall(found, tf),
                              "recall_codes": recall(found, tc)})
            out["sweep"] = curve
            eng.set_param(eng.default_param())
        if eng.filters and a.filters:
            out["filters"] = run_filters(a, eng, queries, metas)
    if a.threads == 2 and not a.no_search:
        eng.set_param(eng.default_param())
        found, _ = per_query(eng, queries[:50])
        out.update(two_threads(eng, queries))
    out["peak_rss"] = proc_status("VmHWM")
    out["rss_before_build"] = rss_before
    return out


def run_filters(a, eng, queries, metas):
    res = []
    fq = queries[:a.filter_queries]
    nq = len(fq)
    for f in sorted(os.listdir(a.filter_dir)):
        if not f.startswith(a.set + "__") or not f.endswith("_float.npy"):
            continue
        _, field, below = f[:-len("_float.npy")].split("__")
        below = int(below)
        tf = np.load(os.path.join(a.filter_dir, f))[:nq]
        tc = np.load(os.path.join(a.filter_dir, f.replace("_float.npy", "_codes.npy")))[:nq]
        mask = metas[0 if field == "rr" else 1] < below
        try:
            found, lat = [], []
            for q in fq:
                t0 = time.perf_counter_ns()
                found.append(eng.search_filtered(q, K, field, below, mask))
                lat.append(time.perf_counter_ns() - t0)
            res.append({"field": field, "below": below, "selectivity": float(mask.mean()),
                        "qps": len(fq) / (sum(lat) / 1e9),
                        "recall_float": recall(found, tf), "recall_codes": recall(found, tc)})
        except Exception as e:
            res.append({"field": field, "below": below, "error": repr(e)[:200]})
    return res


def task_small(a, eng, base):
    n = min(a.count, len(base))
    t0 = time.perf_counter()
    for start in range(0, n, a.batch):
        eng.build(base[:n], start, a.batch, a.threads, None)
    eng.finish_build(n, a.threads)
    s = time.perf_counter() - t0
    return {"insert_vps": n / s, "count": n}


def task_open(a, eng, queries):
    if a.cold:
        evict(eng.dir)
    t0 = time.perf_counter()
    eng.open()
    open_s = time.perf_counter() - t0
    eng.set_param(eng.default_param())
    t0 = time.perf_counter()
    eng.search(queries[0], K)
    first_s = time.perf_counter() - t0
    t0 = time.perf_counter()
    for q in queries[1:101]:
        eng.search(q, K)
    next_s = (time.perf_counter() - t0) / 100
    return {"open_s": open_s, "first_query_s": first_s, "later_query_s": next_s,
            "peak_rss": proc_status("VmHWM")}


def task_search2(a, eng, queries, tf, tc):
    eng.open()
    eng.set_param(eng.default_param())
    found, stats = per_query(eng, queries[:100])
    out = two_threads(eng, queries)
    found, _ = per_query(eng, queries)
    out["recall_float"] = recall(found, tf)
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--engine", required=True)
    p.add_argument("--set", required=True)
    p.add_argument("--task", required=True, choices=["build", "small", "open", "search2"])
    p.add_argument("--dir", required=True)
    p.add_argument("--n", type=int, default=0, help="use the first n base vectors")
    p.add_argument("--batch", type=int, default=10_000)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--count", type=int, default=2000)
    p.add_argument("--cold", action="store_true")
    p.add_argument("--sweep", action="store_true")
    p.add_argument("--filters", action="store_true")
    p.add_argument("--no-search", action="store_true")
    p.add_argument("--filter-dir", default="")
    p.add_argument("--filter-queries", type=int, default=200)
    p.add_argument("--truth-prefix", default="")
    a = p.parse_args()

    base, queries, tf, tc, labels = data.load_set(a.set)
    if a.truth_prefix:
        tf = np.load(a.truth_prefix + "_truth_float.npy")
        tc = np.load(a.truth_prefix + "_truth_codes.npy")
    if a.n:
        base = np.ascontiguousarray(base[:a.n])
    os.makedirs(a.dir, exist_ok=True)
    eng = engines.make(a.engine, a.dir, base.shape[1])
    if eng.max_queries and a.task != "open":
        queries, tf, tc = queries[:eng.max_queries], tf[:eng.max_queries], tc[:eng.max_queries]
        a.filter_queries = min(a.filter_queries, eng.max_queries // 4)
    if a.task == "build":
        out = task_build(a, eng, base, queries, tf, tc, labels)
    elif a.task == "small":
        out = task_small(a, eng, base)
    elif a.task == "open":
        out = task_open(a, eng, queries)
    else:
        out = task_search2(a, eng, queries, tf, tc)
    eng.close()
    print(json.dumps(out))
    sys.stdout.flush()
    # Some engines' background threads delay interpreter exit; the result is out.
    os._exit(0)


if __name__ == "__main__":
    main()
