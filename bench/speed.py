"""Search and insert speed, measured side by side in one run: writes bench/RESULTS-speed.md.

    .venv-bench/bin/python bench/speed.py [--stages scan,filters,insert,curves,knob,binding]
        [--sets l24_100000 s1_100000 s3] [--base-build build/before] [--build build/bench]

Stages (each result is kept in bench/out/speed/, so a stage can be rerun alone):
  scan     bench/scan_bench.cpp: the exact scan against a stream read of the same bytes, at
           100,000 and 1,000,000 codes of 128, 384 and 768 components
  filters  bench/filter_cliff.py on each set, with this build and the --base-build one
           (before/after), both filter fields on the sets that have clusters
  insert   bench/insert_ratio.py: add_batch against hnswlib M=6 and M=12
  curves   recall@10 and queries/s through Python, one query per call, one thread: Tarnix
           at widths set with TARNIX_SEARCH_EF (and its default plan), hnswlib M=6 and
           M=12 and FAISS HNSW (6 and 12, SQ8 and flat) at their ef sweeps
  knob     Tarnix alone at 100,000 and 1,000,000 items (l24): the table TARNIX_SEARCH_EF buys
  binding  bench/binding_overhead.py at 1,000 and 100,000 items
Every process runs pinned to one core (--cpu). Needs `make bench-deps bench-build` and the
data sets (bench/data.py l24 --sizes 100000 1000000; s1 --sizes 100000; s3).
"""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT = os.path.join(HERE, "out", "speed")
sys.path.insert(0, HERE)
import data  # noqa: E402

PEERS = ["hnswlib-M6", "hnswlib-M12", "faiss-HNSW6-SQ8", "faiss-HNSW12-Flat"]
TARNIX_EF = [16, 32, 64, 128, 256, 512, 1024, 2048]

CURVE = r"""
import json, os, sys, time
sys.path.insert(0, %(here)r)
import numpy as np
import data, engines, worker
name, set_name, directory, params = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
base, queries, tf, tc, _ = data.load_set(set_name)
eng = engines.make(name, directory, base.shape[1])
t0 = time.perf_counter()
for s in range(0, len(base), 10000):
    eng.build(base, s, 10000, 1, None)
eng.finish_build(len(base), 1)
insert_vps = len(base) / (time.perf_counter() - t0)
rows = []
def point(p):
    if name == "tarnix":
        if p is None:
            os.environ.pop("TARNIX_SEARCH_EF", None)
        else:
            os.environ["TARNIX_SEARCH_EF"] = str(p)
    else:
        eng.set_param(p)
    worker.per_query(eng, queries[:50])
    best = None
    for _ in range(2):
        found, stats = worker.per_query(eng, queries)
        if best is None or stats["qps"] > best[1]["qps"]:
            best = (found, stats)
    found, stats = best
    rows.append({"param": p, "qps": stats["qps"], "p50_us": stats["p50_us"],
                 "recall_float": worker.recall(found, tf), "recall_codes": worker.recall(found, tc)})
for p in params:
    point(p)
print(json.dumps({"engine": name, "set": set_name, "insert_vps": insert_vps, "rows": rows}))
"""


class Speed:
    def __init__(self, a):
        self.a = a
        os.makedirs(OUT, exist_ok=True)

    def run(self, cmd, env=None, timeout=7200):
        p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)
        if p.returncode != 0:
            raise RuntimeError(f"{' '.join(cmd[:6])}: {p.stderr.strip()[-600:]}")
        return p.stdout

    def env(self, build):
        return dict(os.environ, PYTHONPATH=build, OMP_NUM_THREADS="1", HF_HUB_OFFLINE="1")

    def save(self, name, obj):
        with open(os.path.join(OUT, name), "w") as f:
            json.dump(obj, f, indent=1)

    def pinned(self):
        return ["taskset", "-c", self.a.cpu]

    def scan(self):
        rows = []
        for dim in (128, 384, 768):
            out = self.run(self.pinned() + [os.path.join(self.a.build, "scan_bench"), "--n",
                                            "100000,1000000", "--dim", str(dim), "--rounds", "5",
                                            "--queries", "20", "--data", "latent"])
            rows += [json.loads(l) for l in out.splitlines() if l.startswith("{")]
        out = self.run(self.pinned() + [os.path.join(self.a.build, "scan_bench"), "--n",
                                        "100000,1000000", "--dim", "128", "--rounds", "5",
                                        "--queries", "20", "--data", "uniform"])
        rows += [json.loads(l) for l in out.splitlines() if l.startswith("{")]
        self.save("scan.json", rows)

    def filters(self):
        for set_name in self.a.sets:
            labels = data.load_set(set_name)[4]
            for field in (["r", "c"] if labels is not None else ["r"]):
                for tag, build in (("head", self.a.build), ("base", self.a.base_build)):
                    if not build or not os.path.exists(build):
                        continue
                    f = os.path.join(OUT, f"filters_{set_name}_{field}_{tag}.json")
                    self.run(self.pinned() + [self.a.python, os.path.join(HERE, "filter_cliff.py"),
                                              "--set", set_name, "--field", field, "--queries",
                                              "200", "--passes", "2", "--json", f],
                             env=self.env(build))
                    print(f"   filters {set_name} {field} {tag} done", flush=True)

    def insert(self):
        f = os.path.join(OUT, "insert.json")
        cmd = [self.a.python, os.path.join(HERE, "insert_ratio.py"), "--sets"] + \
            self.a.sets + ["--rounds", "3", "--build", self.a.build, "--cpu", self.a.cpu,
                           "--json", f]
        if self.a.base_build:
            cmd += ["--base-build", self.a.base_build]
        print(self.run(cmd, env=self.env(self.a.build)), flush=True)

    def curve(self, engine, set_name, params, build):
        d = os.path.join(self.a.workdir, f"tarnix-speed-{engine}-{set_name}")
        subprocess.run(["rm", "-rf", d])
        os.makedirs(d)
        try:
            out = self.run(self.pinned() + [self.a.python, "-c", CURVE % {"here": HERE}, engine,
                                            set_name, d, json.dumps(params)],
                           env=self.env(build))
        finally:
            subprocess.run(["rm", "-rf", d])
        return json.loads(out.strip().splitlines()[-1])

    def curves(self):
        import engines
        for set_name in self.a.sets:
            got = [self.curve("tarnix", set_name, [None] + TARNIX_EF, self.a.build)]
            for e in PEERS:
                got.append(self.curve(e, set_name, engines.SWEEP_EF, self.a.build))
                print(f"   curve {set_name} {e} done", flush=True)
            self.save(f"curves_{set_name}.json", got)

    def knob(self):
        got = []
        for set_name in ("l24_100000", "l24_1000000"):
            if not os.path.exists(data.path(f"{set_name}.npy")):
                print(f"   ! {set_name} not built (bench/data.py l24 --sizes ...)", flush=True)
                continue
            got.append(self.curve("tarnix", set_name, [None] + TARNIX_EF, self.a.build))
        self.save("knob.json", got)

    def binding(self):
        out = self.run([self.a.python, os.path.join(HERE, "binding_overhead.py"), "--sizes",
                        "1000", "100000", "--build", self.a.build, "--cpu", self.a.cpu],
                       env=self.env(self.a.build))
        with open(os.path.join(OUT, "binding.txt"), "w") as f:
            f.write(out)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--stages", default="scan,filters,insert,curves,knob,binding")
    p.add_argument("--sets", nargs="+", default=["l24_100000", "s1_100000", "s3"])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--base-build", default="")
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--cpu", default="0")
    p.add_argument("--workdir", default=os.environ.get("TMPDIR", "/tmp"))
    a = p.parse_args()
    a.sets = [s for s in a.sets if os.path.exists(data.path(f"{s}.npy"))]
    s = Speed(a)
    t0 = time.time()
    for stage in a.stages.split(","):
        print(f"== {stage} (load {os.getloadavg()[0]:.1f})", flush=True)
        getattr(s, stage)()
    print(f"done in {(time.time() - t0) / 60:.0f} min", flush=True)
    import speed_report
    speed_report.main()


if __name__ == "__main__":
    main()
