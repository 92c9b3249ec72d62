"""Search throughput and recall on 100,000 uniform and clustered 128-d vectors.

    PYTHONPATH=build/cpython python3 bench/search_bench.py [--n 100000] [--queries 1000]

Modes: the default plan (a graph walk at this size), the exact scan, and filters matching
1 % and 10 % of the items. Recall@10 is measured against the exact answer on the one-byte
codes the store keeps and against float ground truth. Two threads are compared with one
(searches release the interpreter lock).
"""
import argparse
import json
import os
import shutil
import threading
import time

import numpy as np

import common

K = 10
MODES = {
    "graph walk (default)": (None, {}),
    "exact scan": (None, {"TARNIX_SMALL_EXACT_MAX": "100000000"}),
    "filter 1%": ('{"bucket": 0}', {}),
    "filter 10%": ('{"bucket": {"$lt": 10}}', {}),
}


def run_queries(db, queries, filter_json):
    found = []
    for q in queries:
        found.append([int(r[0]) for r in db.search(q, K, filter_json, False)])
    return found


def qps_threads(db, queries, filter_json, threads):
    parts = np.array_split(queries, threads)
    start = threading.Barrier(threads + 1)

    def work(part):
        start.wait()
        for q in part:
            db.search(q, K, filter_json, False)

    workers = [threading.Thread(target=work, args=(p,)) for p in parts]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return len(queries) / (time.perf_counter() - t0)


def bench_dataset(name, vectors, queries, n):
    buckets = np.arange(n) % 100
    metas = [json.dumps({"bucket": int(b)}) for b in buckets]
    path = common.temp_dir("tarnix-search-")
    db = common.build_store(path, vectors, metas)
    base_codes = common.codes(vectors)
    query_codes = common.codes(queries)
    rows = []
    for mode, (filter_json, env) in MODES.items():
        saved = {k: os.environ.get(k) for k in env}
        os.environ.update(env)
        try:
            allowed = None
            if filter_json == '{"bucket": 0}':
                allowed = buckets == 0
            elif filter_json:
                allowed = buckets < 10
            truth_codes = common.exact_knn_codes(base_codes, query_codes, K, allowed)
            truth_float = common.exact_knn(vectors, queries, K, allowed)
            run_queries(db, queries[:50], filter_json)  # warm the mappings
            t0 = time.perf_counter()
            found = run_queries(db, queries, filter_json)
            qps1 = len(queries) / (time.perf_counter() - t0)
            qps2 = qps_threads(db, queries, filter_json, 2)
            rows.append((mode, qps1, qps2, common.recall(found, truth_codes),
                         common.recall(found, truth_float)))
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
    # The exact scan reads every code once per query: compare with numpy reading the same bytes.
    exact_qps = rows[1][1]
    scan_bytes = exact_qps * base_codes.nbytes
    numpy_time = common.median_time(lambda: int(base_codes.sum(dtype=np.uint64)), rounds=5)
    numpy_bytes = base_codes.nbytes / numpy_time
    del db
    shutil.rmtree(path)
    print(f"\n{name}: {n:,} x {vectors.shape[1]}-d, {len(queries)} queries, k={K}")
    print(f"{'mode':22} {'QPS 1 thr':>10} {'QPS 2 thr':>10} {'2/1':>5} "
          f"{'recall codes':>13} {'recall float':>13}")
    for mode, q1, q2, rc, rf in rows:
        print(f"{mode:22} {q1:10,.0f} {q2:10,.0f} {q2 / q1:5.2f} {rc:13.4f} {rf:13.4f}")
    print(f"exact scan reads {scan_bytes / 1e9:.2f} GB/s of codes; numpy sums the same bytes "
          f"at {numpy_bytes / 1e9:.2f} GB/s (ratio {scan_bytes / numpy_bytes:.2f})")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--queries", type=int, default=1000)
    args = p.parse_args()
    print(common.machine_header())
    uniform = common.uniform_vectors(args.n + args.queries, args.dim, seed=3)
    bench_dataset("uniform", uniform[:args.n], uniform[args.n:], args.n)
    clustered, _ = common.clustered_vectors(args.n + args.queries, args.dim, seed=4)
    bench_dataset("clustered", clustered[:args.n], clustered[args.n:], args.n)


if __name__ == "__main__":
    main()
