"""What a search through Python costs beyond the core search it wraps.

    .venv-bench/bin/python bench/binding_overhead.py [--set l24_100000] [--sizes 1000 100000]
        [--build build/bench]

For each size: a store of the set's first n vectors (metadata like {"c":..,"r":..}), then,
in one process each and on the same core, the same 1,000 queries through the C++ layers
(bench/search_overhead.cpp: search_core alone, then Store::search with and without
metadata, and search_json) and through Python (db.search, db.search(..., load_metadata=False),
db.search_json). Prints microseconds per search and the differences: Python minus the store
call is the binding (argument conversion, the gate, the interpreter lock, result objects);
the store call minus search_core is the result building (ids, metadata, the read mappings).
TARNIX_SEARCH_EF in the environment sets the walk's width on both sides: a narrow one (32)
keeps the walk's run-to-run spread at 100,000 items below the overhead being measured.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import data  # noqa: E402

PY_TIMING = r"""
import json, sys, time
import numpy as np
import tarnix
db = tarnix.TarnDB(sys.argv[1], pca_enabled=False)
qs = [q for q in np.load(sys.argv[2])[:int(sys.argv[3])]]
lists = [q.tolist() for q in qs]
for q in qs[:50]:
    db.search(q, 10)
# Each call timed alone, each kind of call over all queries in turn (the order reversing
# every round); medians, as on the C++ side.
calls = {"search_us": lambda q, l: db.search(q, 10),
         "search_no_metadata_us": lambda q, l: db.search(q, 10, None, False),
         "search_json_us": lambda q, l: db.search_json(q, 10),
         "search_list_input_us": lambda q, l: db.search(l, 10)}
t = {k: [] for k in calls}
clock = time.perf_counter_ns
for r in range(4):
    for name in (list(calls) if r % 2 == 0 else list(reversed(list(calls)))):
        f = calls[name]
        for q, l in zip(qs, lists):
            t0 = clock()
            f(q, l)
            t[name].append(clock() - t0)
print(json.dumps({k: sorted(v)[len(v) // 2] / 1e3 for k, v in t.items()}))
"""


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--set", default="l24_100000")
    p.add_argument("--sizes", type=int, nargs="+", default=[1000, 100_000])
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--cpu", default="0")
    a = p.parse_args()
    base, queries, _, _, labels = data.load_set(a.set)
    qpath = data.queries_path(a.set)
    env = dict(os.environ, PYTHONPATH=a.build)
    sys.path.insert(0, a.build)
    import tarnix
    for n in a.sizes:
        d = tempfile.mkdtemp(prefix="tarnix-binding-")
        try:
            db = tarnix.TarnDB(d, pca_enabled=False)
            ids = [str(i) for i in range(n)]
            metas = ['{"c":%d,"r":%d}' % (i % 200, i) for i in range(n)]
            for s in range(0, n, 10_000):
                db.add_batch(ids[s:s + 10_000], base[s:min(n, s + 10_000)], metas[s:s + 10_000])
            db.persist()
            del db
            core = subprocess.run(["taskset", "-c", a.cpu, os.path.join(a.build, "search_overhead"),
                                   d, qpath, "--queries", str(a.queries), "--rounds", "4"],
                                  capture_output=True,
                                  text=True, check=True)
            c = json.loads(core.stdout.strip().splitlines()[-1])
            py = subprocess.run(["taskset", "-c", a.cpu, a.python, "-c", PY_TIMING, d, qpath,
                                 str(a.queries)], capture_output=True, text=True, env=env,
                                check=True)
            y = json.loads(py.stdout.strip().splitlines()[-1])
        finally:
            shutil.rmtree(d, ignore_errors=True)
        print(f"{n:,} items ({a.set}), k=10, {a.queries} queries, us per search:")
        print(f"  core search_core            {c['core_us']:8.2f}")
        print(f"  Store::search               {c['store_search_us']:8.2f}   "
              f"(+{c['store_search_us'] - c['core_us']:.2f} ids and metadata)")
        print(f"  Store::search, no metadata  {c['store_search_no_metadata_us']:8.2f}")
        print(f"  Store::search_json          {c['store_search_json_us']:8.2f}")
        print(f"  Python search               {y['search_us']:8.2f}   "
              f"(+{y['search_us'] - c['store_search_us']:.2f} binding, "
              f"+{y['search_us'] - c['core_us']:.2f} over the core)")
        print(f"  Python search, no metadata  {y['search_no_metadata_us']:8.2f}   "
              f"(+{y['search_no_metadata_us'] - c['store_search_no_metadata_us']:.2f} binding)")
        print(f"  Python search_json          {y['search_json_us']:8.2f}   "
              f"(+{y['search_json_us'] - c['store_search_json_us']:.2f} binding)")
        print(f"  Python search, list query   {y['search_list_input_us']:8.2f}")


if __name__ == "__main__":
    main()
