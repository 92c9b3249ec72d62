"""Ingest throughput and query rate of the sharded store on Ray, with 1 and 2 shards (and 2
shards with one replica each), against one store in the benchmark's own process, all
measured in the same run and reported as ratios to that store.

    PYTHONPATH=build/cpython:python python3 bench/ray_bench.py --n 20000 --dim 128

Ingest is add_batch in batches of --batch; queries are k=10 searches, first one at a time
(latency bound), then --threads callers at once (throughput bound). The graph search is
used (the item count is above the exact-scan limit unless --exact).
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np
import ray

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
import tarnix  # noqa: E402

from tarnix_tools.ray_shards import ShardedTarnDB  # noqa: E402


def ingest(db, ids, vecs, metas, batch):
    start = time.perf_counter()
    for i in range(0, len(ids), batch):
        db.add_batch(ids[i:i + batch], vecs[i:i + batch], metas[i:i + batch])
    return len(ids) / (time.perf_counter() - start)


def qps(db, queries, threads):
    def run(part):
        for q in part:
            db.search(q, 10)

    parts = [queries[i::threads] for i in range(threads)]
    start = time.perf_counter()
    workers = [threading.Thread(target=run, args=(p,)) for p in parts]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return len(queries) / (time.perf_counter() - start)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--exact", action="store_true")
    args = ap.parse_args()

    rng = np.random.default_rng(3)
    vecs = (rng.standard_normal((args.n, args.dim)) * 0.25).clip(-1, 1).astype(np.float32).tolist()
    ids = [f"v{i}" for i in range(args.n)]
    metas = [json.dumps({"n": i, "c": "abcd"[i % 4]}) for i in range(args.n)]
    queries = (rng.standard_normal((args.queries, args.dim)) * 0.25).clip(-1, 1).tolist()
    env = {"TARNIX_SMALL_EXACT_MAX": str(args.n + 1)} if args.exact else {}
    os.environ.update(env)

    # Off, Ray's servers listen on the loopback address only.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    ray.init(num_cpus=2, include_dashboard=False, address="local",
             _node_ip_address="127.0.0.1", log_to_driver=False)
    root = tempfile.mkdtemp(prefix="ray-bench-")
    rows = []
    try:
        one = tarnix.TarnDB(os.path.join(root, "one"), pca_enabled=False)
        base = (ingest(one, ids, vecs, metas, args.batch), qps(one, queries, 1),
                qps(one, queries, args.threads))
        one.close()
        rows.append(("one store, in process", base))
        for shards, replicas in ((1, 0), (2, 0), (2, 1)):
            db = ShardedTarnDB(os.path.join(root, f"s{shards}r{replicas}"), shards=shards,
                               replicas=replicas, env=env)
            got = (ingest(db, ids, vecs, metas, args.batch), qps(db, queries, 1),
                   qps(db, queries, args.threads))
            db.close()
            rows.append((f"{shards} shard(s), {replicas} replica(s) each", got))
    finally:
        ray.shutdown()
        shutil.rmtree(root, ignore_errors=True)

    print(f"n={args.n} dim={args.dim} batch={args.batch} queries={args.queries} "
          f"threads={args.threads} exact={args.exact}")
    print(f"{'setup':34} {'ingest/s':>10} {'ratio':>6} {'QPS 1':>8} {'ratio':>6} "
          f"{'QPS ' + str(args.threads):>8} {'ratio':>6}")
    for name, (ing, q1, qn) in rows:
        print(f"{name:34} {ing:10.0f} {ing / base[0]:6.2f} {q1:8.0f} {q1 / base[1]:6.2f} "
              f"{qn:8.0f} {qn / base[2]:6.2f}")


if __name__ == "__main__":
    main()
