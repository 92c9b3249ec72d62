"""Runs Tarnix and its peers side by side, round by round, and writes bench/RESULTS.md.

    python3 bench/run.py --profile bench     # S1 100k + S3 + Qdrant at 20k (about 30 min)
    python3 bench/run.py --profile large     # S1 1M
    python3 bench/run.py --profile quick     # S1 10k, one round: a smoke test

Each measurement runs in its own process (bench/worker.py, or the C++ ef_sweep), pinned
with taskset: `-c 0` for one thread, `-c 0,1` for two. Within a round every engine runs
once; the order reverses each round; a ratio is computed inside each round (peer / Tarnix)
and the report shows the median of those per-round ratios, so that a burst of load from
elsewhere on the machine hits both sides of a ratio.

Raw results go to bench/out/<profile>/results.json; bench/report.py renders them.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import data  # noqa: E402
import engines  # noqa: E402

# Every round: Tarnix and the peers closest to it. First round only: the rest (the ratios of
# those rest on one round, which the report says).
CORE_ENGINES = ["tarnix", "hnswlib-M6", "hnswlib-M12", "usearch-C6", "faiss-HNSW6-SQ8"]
ONCE_ENGINES = ["usearch-C12", "faiss-HNSW12-Flat", "chroma", "lancedb", "sqlite-vec"]
FILTER_SELECTIVITY = [0.01, 0.049, 0.051, 0.10, 0.50]

PROFILES = {
    # name: list of stages
    "quick": {
        "main": [("s1_10000", 10_000, 1, ["tarnix", "hnswlib-M6", "usearch-C6",
                                          "faiss-HNSW6-SQ8", "sqlite-vec"])],
        "side": [],
        "sizes": [],
        "before_after": 1,
        "s3": None,
    },
    "bench": {
        "main": [("s1_100000", 100_000, 3, CORE_ENGINES + ONCE_ENGINES)],
        "side": [("s1_20000", 20_000, 1, ["tarnix", "hnswlib-M12", "qdrant-local"])],
        "sizes": ["s1_10000", "s1_50000"],
        "before_after": 2,
        "s3": ("s3", 1, ["tarnix", "tarnix-scaled", "hnswlib-M12", "faiss-HNSW6-SQ8"]),
    },
    # The text set alone (its report merges into the "bench" one).
    "s3": {
        "main": [],
        "side": [],
        "sizes": [],
        "before_after": 0,
        "s3": ("s3", 1, ["tarnix", "tarnix-scaled", "hnswlib-M12", "faiss-HNSW6-SQ8"]),
    },
    "large": {
        "main": [("s1_1000000", 1_000_000, 1, ["tarnix", "hnswlib-M6", "hnswlib-M12",
                                               "usearch-C12", "faiss-HNSW12-SQ8"])],
        "side": [],
        "sizes": [],
        "before_after": 0,
        "s3": None,
    },
}


class Runner:
    def __init__(self, a):
        self.a = a
        self.py = a.python
        self.out = os.path.join(ROOT, "bench", "out", a.tag or a.profile)
        self.work = os.path.join(a.workdir, f"tarnix-bench-{a.tag or a.profile}")
        os.makedirs(self.out, exist_ok=True)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.results = {"profile": a.profile, "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
                        "load_start": os.getloadavg(), "loads": [], "runs": []}
        prev = os.path.join(self.out, "results.json")
        if a.append and os.path.exists(prev):
            with open(prev) as f:
                self.results = json.load(f)
            # A resumed run redoes the rounds from --from-round on.
            self.results["runs"] = [r for r in self.results["runs"] if r.get("kind") != "end"
                                    and not (r.get("round", -1) >= a.from_round > 0
                                             and r.get("kind") in ("build", "open", "small",
                                                                   "search2", "cxx_sweep"))]
        self.filter_dir = os.path.join(self.out, "filter_truth")
        os.makedirs(self.filter_dir, exist_ok=True)

    def env(self, build):
        e = dict(os.environ)
        e["PYTHONPATH"] = build
        e["OMP_NUM_THREADS"] = "1"
        e["HF_HUB_OFFLINE"] = "1"
        e["ANONYMIZED_TELEMETRY"] = "False"
        return e

    def worker(self, cpus, args, build=None, timeout=3600):
        build = build or self.a.build
        cmd = ["taskset", "-c", cpus, self.py, os.path.join(HERE, "worker.py")] + args
        t0 = time.time()
        p = subprocess.run(cmd, capture_output=True, text=True, env=self.env(build),
                           timeout=timeout)
        self.results["loads"].append(os.getloadavg()[0])
        lines = [l for l in p.stdout.splitlines() if l.startswith("{")]
        if p.returncode != 0 or not lines:
            msg = (p.stderr or p.stdout).strip().splitlines()[-3:]
            print(f"   ! {' '.join(args[:8])}: {' | '.join(msg)}", flush=True)
            return {"error": " | ".join(msg)[-400:]}
        r = json.loads(lines[-1])
        r["wall_s"] = time.time() - t0
        return r

    def record(self, **kw):
        self.results["runs"].append(kw)
        with open(os.path.join(self.out, "results.json"), "w") as f:
            json.dump(self.results, f, indent=1)

    def fresh(self, name):
        d = os.path.join(self.work, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    # ---- filter truth ----

    def filter_truth(self, set_name, n):
        base, queries, _, _, labels = data.load_set(set_name)
        base = base[:n]
        import worker
        rr, cr = worker.metas_for(base, labels)
        for field, arr in (("rr", rr), ("cr", cr)):
            if field == "cr" and labels is None:
                continue
            for s in FILTER_SELECTIVITY:
                below = int(round(s * n))
                stem = os.path.join(self.filter_dir, f"{set_name}__{field}__{below}")
                if os.path.exists(stem + "_codes.npy"):
                    continue
                mask = arr < below
                f, c = data.truth_pair(base, queries[:self.a.filter_queries], 10, mask)
                np.save(stem + "_float.npy", f)
                np.save(stem + "_codes.npy", c)

    # ---- stages ----

    def main_stage(self, set_name, n, rounds, names, filters=True, sweep=True):
        if filters:
            self.filter_truth(set_name, n)
        extra = ["--set", set_name, "--n", str(n), "--filter-dir", self.filter_dir,
                 "--filter-queries", str(self.a.filter_queries)]
        names = [e for e in names if not (e == "qdrant-local" and n > 20_000)]
        for rnd in range(self.a.from_round, rounds):
            order = names if rnd % 2 == 0 else list(reversed(names))
            order = [e for e in order if rnd == 0 or e in self.a.core.split(",")]
            print(f"== {set_name} round {rnd + 1}/{rounds}: {', '.join(order)}", flush=True)
            for e in order:
                self.engine_round(set_name, n, rnd, e, extra, filters, sweep)

    def engine_round(self, set_name, n, rnd, e, extra, filters, sweep):
        t0 = time.time()
        d = self.fresh(f"{set_name}-{e}")
        args = ["--engine", e, "--dir", d, "--task", "build", "--threads", "1"] + extra
        first = rnd == 0
        if sweep:
            args.append("--sweep")
        if filters and first:
            args.append("--filters")
        r = self.worker(self.a.cpu, args)
        self.record(kind="build", set=set_name, n=n, round=rnd, engine=e, threads=1, **r)
        if "error" in r:
            pass
        elif not first:
            if e == "tarnix":
                self.sweep_tarnix(set_name, n, rnd, d)
        else:
            for cold in (True, False):
                args = ["--engine", e, "--dir", d, "--task", "open"] + extra
                if cold:
                    args.append("--cold")
                ro = self.worker(self.a.cpu, args)
                self.record(kind="open", set=set_name, n=n, round=rnd, engine=e, cold=cold,
                            **ro)
            if e == "tarnix":
                self.sweep_tarnix(set_name, n, rnd, d)
            if engines.engine_class(e).persistent:
                r2 = self.worker("0,1", ["--engine", e, "--dir", d, "--task", "search2"] + extra)
                self.record(kind="search2", set=set_name, n=n, round=rnd, engine=e, **r2)
        # Two build threads: first round only (compared with the same engine's one thread).
        if engines.engine_class(e).parallel_build and rnd == 0:
            d2 = self.fresh(f"{set_name}-{e}-t2")
            r = self.worker("0,1", ["--engine", e, "--dir", d2, "--task", "build",
                                    "--threads", "2"] + extra)
            self.record(kind="build", set=set_name, n=n, round=rnd, engine=e, threads=2, **r)
            shutil.rmtree(d2, ignore_errors=True)
        if not self.a.skip_small:
            for batch, count in ((1, self.a.count1), (100, self.a.count100)):
                ds = self.fresh(f"{set_name}-{e}-small")
                r = self.worker(self.a.cpu, ["--engine", e, "--dir", ds, "--task", "small",
                                      "--batch", str(batch), "--count", str(count)] + extra)
                self.record(kind="small", set=set_name, n=n, round=rnd, engine=e,
                            batch=batch, **r)
                shutil.rmtree(ds, ignore_errors=True)
        shutil.rmtree(d, ignore_errors=True)
        print(f"   {e}: {time.time() - t0:.0f} s (load {os.getloadavg()[0]:.1f})", flush=True)

    def sweep_tarnix(self, set_name, n, rnd, d, build_dir=None, tag="head", kind="cxx_sweep"):
        exe = os.path.join(build_dir or self.a.build, "ef_sweep")
        if not os.path.exists(exe):
            print(f"   ! {exe} missing: no C++ sweep", flush=True)
            return
        q = data.queries_path(set_name)
        truth = data.path(set_name)
        cmd = ["taskset", "-c", self.a.cpu, exe, d, q, truth + "_truth_float.npy",
               truth + "_truth_codes.npy", "--exact", "--repeat", "2"]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=3600)
        rows = [json.loads(l) for l in p.stdout.splitlines() if l.startswith("{")]
        if p.returncode != 0:
            print(f"   ! ef_sweep: {p.stderr.strip()[-300:]}", flush=True)
        self.record(kind=kind, set=set_name, n=n, round=rnd, engine="tarnix", tag=tag,
                    rows=rows)

    def exact_bandwidth(self, set_name, n):
        """numpy reading the same code bytes the exact scan reads, in this run."""
        base = data.load_set(set_name)[0][:n]
        codes = data.codes(base)
        # Summing the bytes as 64-bit words: one pass over the same memory, nearly free of
        # arithmetic, so it runs at the speed the bytes can be read.
        cmd = ["taskset", "-c", self.a.cpu, self.py, "-c",
               "import numpy as np, time, sys; c = np.load(sys.argv[1]).view(np.uint64); "
               "ts = []\nfor _ in range(21):\n t0 = time.perf_counter(); int(c.sum()); "
               "ts.append(time.perf_counter() - t0)\nprint(sorted(ts)[10])"]
        tmp = os.path.join(self.work, "codes.npy")
        np.save(tmp, codes)
        p = subprocess.run(cmd + [tmp], capture_output=True, text=True)
        secs = float(p.stdout.strip() or "nan")
        self.record(kind="numpy_read", set=set_name, n=n, bytes=int(codes.nbytes),
                    seconds=secs, bytes_per_s=codes.nbytes / secs)

    def sizes_stage(self, sets):
        """Tarnix alone at smaller sizes: where the plan switches from scan to walk."""
        for s in sets:
            n = int(s.split("_")[1])
            d = self.fresh(f"{s}-tarnix")
            r = self.worker(self.a.cpu, ["--engine", "tarnix", "--dir", d, "--task", "build",
                                  "--set", s, "--n", str(n)])
            self.record(kind="build", set=s, n=n, round=0, engine="tarnix", threads=1, **r)
            self.sweep_tarnix(s, n, 0, d)
            shutil.rmtree(d, ignore_errors=True)

    def before_after(self, set_name, n, rounds):
        """The same measurements with the extension of the base commit, interleaved."""
        builds = [("head", self.a.build), ("base", self.a.base_build)]
        if not os.path.exists(self.a.base_build):
            print(f"   ! {self.a.base_build} missing: no before/after", flush=True)
            return
        for rnd in range(rounds):
            order = builds if rnd % 2 == 0 else list(reversed(builds))
            print(f"== before/after round {rnd + 1}/{rounds}", flush=True)
            for tag, b in order:
                d = self.fresh(f"ba-{tag}")
                r = self.worker(self.a.cpu, ["--engine", "tarnix", "--dir", d, "--task", "build",
                                             "--set", set_name, "--n", str(n)], build=b)
                self.record(kind="before_after", set=set_name, n=n, round=rnd, tag=tag, **r)
                self.sweep_tarnix(set_name, n, rnd, d, build_dir=b, tag=tag, kind="ba_sweep")
                shutil.rmtree(d, ignore_errors=True)
                # Batches of 100 into an empty store of their own.
                d = self.fresh(f"ba-{tag}-small")
                r = self.worker(self.a.cpu, ["--engine", "tarnix", "--dir", d, "--task", "small",
                                             "--batch", "100", "--count", str(self.a.count100),
                                             "--set", set_name], build=b)
                self.record(kind="before_after_small", set=set_name, n=n, round=rnd, tag=tag,
                            batch=100, **r)
                shutil.rmtree(d, ignore_errors=True)

    def replay(self, set_name, n):
        """Open after kill -9 with 10k and with all n records only in the log."""
        for unreplayed in (10_000, n):
            d = self.fresh(f"replay-{unreplayed}")
            code = (
                "import os, signal, sys, time, numpy as np, json\n"
                "sys.path.insert(0, %r)\n"
                "import data, tarnix\n"
                "base = data.load_set(%r)[0][:%d]\n"
                "db = tarnix.TarnDB(%r, pca_enabled=False)\n"
                "ids = [str(i) for i in range(len(base))]\n"
                "cut = len(base) - %d\n"
                "for s in range(0, len(base), 10000):\n"
                "    if s == cut: db.persist()\n"
                "    db.add_batch(ids[s:s+10000], base[s:s+10000], ['{}'] * len(ids[s:s+10000]))\n"
                "sz = sum(os.path.getsize(os.path.join(%r, f)) for f in os.listdir(%r) if 'wal' in f)\n"
                "print(json.dumps({'wal_bytes': sz}), flush=True)\n"
                "os.kill(os.getpid(), signal.SIGKILL)\n"
            ) % (HERE, set_name, n, d, unreplayed, d, d)
            p = subprocess.run(["taskset", "-c", self.a.cpu, self.py, "-c", code], capture_output=True,
                               text=True, env=self.env(self.a.build))
            info = json.loads(p.stdout.strip().splitlines()[-1]) if p.stdout.strip() else {}
            r = self.worker(self.a.cpu, ["--engine", "tarnix", "--dir", d, "--task", "open",
                                  "--set", set_name])
            r2 = self.worker(self.a.cpu, ["--engine", "tarnix", "--dir", d, "--task", "open",
                                   "--set", set_name])
            self.record(kind="replay", set=set_name, n=n, unreplayed=unreplayed,
                        killed_rc=p.returncode, first_open=r, second_open=r2, **info)
            shutil.rmtree(d, ignore_errors=True)

    def s3_stage(self, set_name, rounds, names):
        n = len(np.load(data.path(f"{set_name}.npy"), mmap_mode="r"))
        for rnd in range(rounds):
            order = names if rnd % 2 == 0 else list(reversed(names))
            print(f"== {set_name} round {rnd + 1}/{rounds}", flush=True)
            for e in order:
                d = self.fresh(f"{set_name}-{e}")
                r = self.worker(self.a.cpu, ["--engine", e, "--dir", d, "--task", "build", "--set",
                                      set_name, "--sweep"])
                self.record(kind="build", set=set_name, n=n, round=rnd, engine=e, threads=1, **r)
                if e == "tarnix" and "error" not in r:
                    self.sweep_tarnix(set_name, n, rnd, d)
                shutil.rmtree(d, ignore_errors=True)
                print(f"   {e} done (load {os.getloadavg()[0]:.1f})", flush=True)

    def run(self):
        prof = PROFILES[self.a.profile]
        t0 = time.time()
        only = set(self.a.only.split(",")) if self.a.only else None

        def want(stage):
            return only is None or stage in only
        for set_name, n, rounds, names in prof["main"]:
            if self.a.rounds:
                rounds = self.a.rounds
            if self.a.engines:
                names = [e for e in names if e in self.a.engines.split(",")]
            if want("main"):
                self.main_stage(set_name, n, rounds, names)
            if want("post"):
                self.exact_bandwidth(set_name, n)
                if not self.a.skip_lifecycle:
                    self.replay(set_name, n)
            if prof["before_after"] and not self.a.skip_base and (want("post") or want("ba")):
                self.before_after(set_name, n, self.a.rounds or prof["before_after"])
        for set_name, n, rounds, names in (prof["side"] if want("side") else []):
            self.main_stage(set_name, n, rounds, names, filters=False, sweep=True)
        if want("sizes"):
            self.sizes_stage(prof["sizes"])
        if prof["s3"] and not self.a.skip_s3 and want("s3"):
            if os.path.exists(data.path("s3_truth_codes.npy")):
                self.s3_stage(*prof["s3"])
                sets = [m[0] for m in prof["main"]] + ["s3"]
                with open(os.path.join(ROOT, "bench", "out", self.a.profile, "quant.json"),
                          "w") as f:
                    subprocess.run([self.py, os.path.join(HERE, "quant_ceiling.py")] + sets,
                                   stdout=f, check=False)
            else:
                print("   ! S3 not built (make bench-data): skipped", flush=True)
        self.results["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
        self.results["minutes"] = self.results.get("minutes", 0) + (time.time() - t0) / 60
        self.results["load_end"] = os.getloadavg()
        self.record(kind="end")
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--profile", default="bench", choices=sorted(PROFILES))
    p.add_argument("--rounds", type=int, default=0)
    p.add_argument("--engines", default="")
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--base-build", default=os.path.join(ROOT, "build", "base"))
    p.add_argument("--workdir", default=os.environ.get("TMPDIR", "/tmp"))
    p.add_argument("--filter-queries", type=int, default=100)
    p.add_argument("--count1", type=int, default=2000)
    p.add_argument("--count100", type=int, default=10_000)
    p.add_argument("--skip-small", action="store_true")
    p.add_argument("--skip-lifecycle", action="store_true")
    p.add_argument("--skip-base", action="store_true")
    p.add_argument("--skip-s3", action="store_true")
    p.add_argument("--no-report", action="store_true")
    p.add_argument("--cpu", default="0", help="the core one-thread measurements run on")
    p.add_argument("--tag", default="", help="name of the output folder (default: profile)")
    p.add_argument("--from-round", type=int, default=0)
    p.add_argument("--core", default=",".join(CORE_ENGINES),
                   help="engines that run in every round, not only the first")
    p.add_argument("--only", default="", help="stages to run: main, post (scan bandwidth, replay, before/after), ba (before/after "
                        "alone), side, sizes, s3")
    p.add_argument("--append", action="store_true",
                   help="add to the profile's existing results.json")
    a = p.parse_args()
    Runner(a).run()
    if not a.no_report:
        import report
        report.main(["--profile", a.profile])


if __name__ == "__main__":
    main()
