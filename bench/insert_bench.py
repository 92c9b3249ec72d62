"""Insert throughput: add_batch in batches of 1,000 and single add calls.

    PYTHONPATH=build/cpython python3 bench/insert_bench.py [--n 100000] [--dim 128]
"""
import argparse
import json
import shutil
import time

import common
import tarnix


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--single", type=int, default=10_000)
    args = p.parse_args()
    print(common.machine_header())
    vectors = common.uniform_vectors(args.n, args.dim, seed=1)
    metas = [json.dumps({"n": i, "tag": f"t{i % 10}"}) for i in range(args.n)]
    ids = [str(i) for i in range(args.n)]

    path = common.temp_dir("tarnix-insert-")
    db = tarnix.TarnDB(path, pca_enabled=False)
    t0 = time.perf_counter()
    for start in range(0, args.n, 1000):
        db.add_batch(ids[start:start + 1000], vectors[start:start + 1000],
                     metas[start:start + 1000])
    batch_rate = args.n / (time.perf_counter() - t0)
    del db
    shutil.rmtree(path)

    path = common.temp_dir("tarnix-insert-")
    db = tarnix.TarnDB(path, pca_enabled=False)
    t0 = time.perf_counter()
    for i in range(args.single):
        db.add(ids[i], vectors[i], metas[i])
    single_rate = args.single / (time.perf_counter() - t0)
    del db
    shutil.rmtree(path)

    print(f"add_batch (1,000 per call, {args.n:,} x {args.dim}-d): {batch_rate:10,.0f} items/s")
    print(f"add (one per call, {args.single:,} x {args.dim}-d):      {single_rate:10,.0f} items/s")
    print(f"batch / single: {batch_rate / single_rate:.2f}x")


if __name__ == "__main__":
    main()
