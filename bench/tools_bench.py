"""The tools against the extension they drive: `tarnix load` against add_batch on the same
items, and `tarnix view`'s time from start to a written page.

    PYTHONPATH=build/cpython:python python3 bench/tools_bench.py [--n 100000] [--dim 32]

Each figure is a ratio against a baseline measured in the same run, since the machine is
shared and noisy."""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import tarnix


def items(n, dim, seed=5):
    rng = random.Random(seed)
    for i in range(n):
        yield f"i{i}", [rng.uniform(-1, 1) for _ in range(dim)], {"g": i % 10, "n": i}


def cli(*args):
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, args)],
                          capture_output=True, text=True)
    if proc.returncode:
        raise SystemExit(proc.stderr)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=32)
    ap.add_argument("--batch", type=int, default=1000)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        jsonl = os.path.join(tmp, "items.jsonl")
        rows = list(items(a.n, a.dim))
        with open(jsonl, "w") as f:
            for i, v, m in rows:
                f.write(json.dumps({"id": i, "vector": v, "metadata": m}) + "\n")

        # Baseline: add_batch from lists already in memory, in the CLI's batch size.
        start = time.perf_counter()
        with tarnix.TarnDB(os.path.join(tmp, "direct"), False) as db:
            for s in range(0, a.n, a.batch):
                chunk = rows[s:s + a.batch]
                db.add_batch([r[0] for r in chunk], [r[1] for r in chunk],
                             [json.dumps(r[2]) for r in chunk])
        direct = time.perf_counter() - start
        # The command: process start, reading and parsing the file, then the same batches.
        load = cli("load", os.path.join(tmp, "cli"), jsonl, "--batch-size", a.batch)
        print(f"load of {a.n} x {a.dim}: add_batch {direct:.2f} s ({a.n / direct:,.0f}/s), "
              f"tarnix load {load:.2f} s ({a.n / load:,.0f}/s): ratio {load / direct:.2f}")

        # Baseline for the viewer: `tarnix stats`, a process that opens the same store with
        # the projection off, after a snapshot so that neither replays the log.
        cli("persist", os.path.join(tmp, "cli"))
        bare = cli("stats", os.path.join(tmp, "cli"))
        page = os.path.join(tmp, "page.html")
        view = cli("view", os.path.join(tmp, "cli"), "--color-by", "g", "--out", page)
        print(f"view of {a.n} points: {view:.2f} s to the page "
              f"({os.path.getsize(page) / 1e6:.1f} MB); `tarnix stats` on the same store "
              f"{bare:.2f} s: ratio {view / bare:.1f}")


if __name__ == "__main__":
    main()
