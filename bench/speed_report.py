"""Renders bench/out/speed/ (written by bench/speed.py) as bench/RESULTS-speed.md."""
import glob
import json
import os
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out", "speed")


def load(name):
    p = os.path.join(OUT, name)
    if not os.path.exists(p):
        return None
    with open(p) as f:
        return json.load(f)


def fmt(x, digits=0):
    return f"{x:,.{digits}f}"


def header():
    sha = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True,
                         text=True).stdout.strip()
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return [
        "# Search and insert speed",
        "",
        "Produced by `bench/speed.py` (stages scan, filters, insert, curves, knob, binding); raw "
        "numbers in bench/out/speed/ (not committed).",
        "",
        f"- Rendered {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} at git {sha}; "
        f"{cpu}, {os.cpu_count()} cores; every process pinned to one core.",
        "- The machine is shared with other builds: absolute numbers move by 20-50 % between "
        "runs. Read the ratios, each measured inside one run (and, where said, one round).",
        "",
    ]


def scan_section(rows):
    out = ["## The exact scan against a stream read of the same bytes", "",
           "`scan_bench`: k = 10, no filter. *stream*: an AVX2 byte sum over the same mapped "
           "codes, taken right before each query's scan; *ratio*: stream time / scan time "
           "(fastest tenth of the samples; the median ratio beside it); *before*: the scan as "
           "it was (one bitmap callback and one distance call per slot), in the same run.", "",
           "| data | items | dim | stream ms | scan ms | ratio | median ratio | before: ratio |",
           "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        out.append(f"| {r['data']} | {fmt(r['n'])} | {r['dim']} | {r['stream_ms']:.3f} | "
                   f"{r['scan_ms']:.3f} | {r['ratio']:.2f} | {r['median_ratio']:.2f} | "
                   f"{r['per_slot_ratio']:.2f} |")
    return out + [""]


def filters_section():
    out = ["## Filtered search at every share", "",
           "`filter_cliff.py`: a numeric filter `{field: {\"$lt\": share * n}}` on `r` (a "
           "random rank) or `c` (the rank in cluster order: the matches are whole clusters, "
           "far from most queries). Recall@10 against the exact answer over the codes; "
           "queries/s through Python, one query per call; x: the ratio to the unfiltered "
           "default measured right before each pass. *before*: the build of the branch point.",
           ""]
    for f in sorted(glob.glob(os.path.join(OUT, "filters_*_head.json"))):
        head = json.load(open(f))
        base_f = f.replace("_head.json", "_base.json")
        base = json.load(open(base_f)) if os.path.exists(base_f) else None
        out.append(f"### {head['set']}, field {head['field']} ({fmt(head['n'])} items; "
                   f"unfiltered: {fmt(head['unfiltered']['qps'])} q/s at recall "
                   f"{head['unfiltered']['recall_codes']:.3f})")
        out.append("")
        if base:
            out += ["| share | before: recall | q/s | x | after: recall | q/s | x |",
                    "|---:|---:|---:|---:|---:|---:|---:|"]
            brows = {r["share"]: r for r in base["rows"]}
        else:
            out += ["| share | recall | q/s | x |", "|---:|---:|---:|---:|"]
        for r in head["rows"]:
            cells = [f"{r['share'] * 100:g} %"]
            if base:
                b = brows.get(r["share"])
                cells += [f"{b['recall_codes']:.3f}", fmt(b["qps"]), f"{b['ratio']:.2f}"] if b \
                    else ["", "", ""]
            cells += [f"{r['recall_codes']:.3f}", fmt(r["qps"]), f"{r['ratio']:.2f}"]
            out.append("| " + " | ".join(cells) + " |")
        out.append("")
        for tag, res in (("before", base), ("after", head)):
            if res:
                fails = res.get("failures", [])
                out.append(f"- {tag}: " + ("every check passes" if not fails else
                                           "; ".join(fails)))
        out.append("")
    return out


def insert_section(ins):
    out = ["## Insert: add_batch against hnswlib", "",
           "`insert_ratio.py`: the whole set in batches of 10,000 (metadata `{}`), one thread, "
           "each build in its own process; ratio = Tarnix vectors/s over the peer's, median of "
           "the per-round ratios.", "",
           "| set | Tarnix vectors/s | / hnswlib M=6 | / hnswlib M=12 | / Tarnix before |",
           "|---|---:|---:|---:|---:|"]
    for set_name, r in ins.items():
        vps = sorted(g["tarnix"] for g in r["rounds"])[len(r["rounds"]) // 2]
        ra = r["ratios"]
        out.append(f"| {set_name} | {fmt(vps)} | {ra.get('tarnix / hnswlib-M6', 0):.2f} | "
                   f"{ra.get('tarnix / hnswlib-M12', 0):.2f} | "
                   f"{ra.get('tarnix / tarnix-base', float('nan')):.2f} |")
    return out + [""]


def curve_rows(c):
    for r in c["rows"]:
        p = r["param"]
        label = ("default plan" if p is None else f"TARNIX_SEARCH_EF={p}") \
            if c["engine"] == "tarnix" else f"ef {p}"
        yield label, r


def curves_section():
    out = ["## Recall and queries/s against hnswlib and FAISS", "",
           "Through Python, one query per call, one thread, k = 10, 1,000 queries; recall "
           "against the float truth (and the code truth for Tarnix). Tarnix at the widths "
           "`TARNIX_SEARCH_EF` sets, and its default plan; the peers at their ef sweeps.", ""]
    for f in sorted(glob.glob(os.path.join(OUT, "curves_*.json"))):
        curves = json.load(open(f))
        set_name = curves[0]["set"]
        out += [f"### {set_name}", "", "| engine | setting | recall float | recall codes | q/s |",
                "|---|---|---:|---:|---:|"]
        for c in curves:
            for label, r in curve_rows(c):
                out.append(f"| {c['engine']} | {label} | {r['recall_float']:.3f} | "
                           f"{r['recall_codes']:.3f} | {fmt(r['qps'])} |")
        png = plot(curves, set_name)
        out.append("")
        if png:
            out += [f"![recall vs queries/s, {set_name}]({png})", ""]
    return out


def plot(curves, set_name):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for c in curves:
        rows = [r for r in c["rows"] if r["param"] is not None]
        ax.plot([r["recall_float"] for r in rows], [r["qps"] for r in rows], marker="o",
                markersize=3, label=c["engine"])
        if c["engine"] == "tarnix":
            d = [r for r in c["rows"] if r["param"] is None]
            if d:
                ax.plot([d[0]["recall_float"]], [d[0]["qps"]], marker="*", markersize=12,
                        linestyle="none", label="tarnix default plan")
    ax.set_yscale("log")
    ax.set_xlabel("recall@10 (float truth)")
    ax.set_ylabel("queries/s (one thread, through Python)")
    ax.set_title(f"{set_name}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    name = f"speed_curves_{set_name}.png"
    fig.tight_layout()
    fig.savefig(os.path.join(HERE, name), dpi=90)
    plt.close(fig)
    return name


def knob_section(knob):
    out = ["## What TARNIX_SEARCH_EF buys", "",
           "Tarnix alone on L24 at 100,000 and 1,000,000 items: recall@10 and queries/s through "
           "Python at each width (unset: the default plan, which is the walk of the ef "
           "schedule at these sizes).", ""]
    for c in knob:
        out += [f"### {c['set']}", "", "| TARNIX_SEARCH_EF | recall float | recall codes | q/s |",
                "|---|---:|---:|---:|"]
        for label, r in curve_rows(c):
            label = label.replace("TARNIX_SEARCH_EF=", "")
            out.append(f"| {label if label != 'default plan' else 'unset (default)'} | "
                       f"{r['recall_float']:.3f} | {r['recall_codes']:.3f} | {fmt(r['qps'])} |")
        out.append("")
    return out


KEY_SHARES = [0.01, 0.049, 0.051, 0.10, 0.20, 0.30, 0.50, 1.0]


def first_at(rows, recall):
    """The fastest point of a curve with recall_float >= recall."""
    ok = [r for r in rows if r["recall_float"] >= recall]
    return max(ok, key=lambda r: r["qps"]) if ok else None


def summary():
    """The short form that bench/report.py appends to RESULTS.md."""
    out = ["## Search and insert speed", "",
           "From a separate run of `bench/speed.py` (`make bench-speed`); every table, with the "
           "before/after and the peers' full curves, is in "
           "[RESULTS-speed.md](RESULTS-speed.md). Ratios are measured inside one run.", ""]
    scan = load("scan.json")
    if scan:
        out += ["Exact scan (k = 10, no filter) against a stream read of the same bytes "
                "(1.0 = as fast as the bytes can be read):", "",
                "| data | items | dim | ratio | before |", "|---|---:|---:|---:|---:|"]
        for r in scan:
            out.append(f"| {r['data']} | {fmt(r['n'])} | {r['dim']} | {r['ratio']:.2f} | "
                       f"{r['per_slot_ratio']:.2f} |")
        out.append("")
    for f in sorted(glob.glob(os.path.join(OUT, "filters_*_head.json"))):
        head = json.load(open(f))
        base_f = f.replace("_head.json", "_base.json")
        base = json.load(open(base_f)) if os.path.exists(base_f) else None
        brows = {r["share"]: r for r in base["rows"]} if base else {}
        out += [f"Filtered search, {head['set']}, field {head['field']} (recall@10 / "
                f"x unfiltered q/s):", "", "| share | before | after |", "|---:|---|---|"]
        for r in head["rows"]:
            if r["share"] not in KEY_SHARES:
                continue
            b = brows.get(r["share"])
            before = f"{b['recall_codes']:.3f} / {b['ratio']:.2f}" if b else ""
            out.append(f"| {r['share'] * 100:g} % | {before} | {r['recall_codes']:.3f} / "
                       f"{r['ratio']:.2f} |")
        out.append("")
    ins = load("insert.json")
    if ins:
        out += ["Insert, `add_batch` on one thread (ratio = Tarnix vectors/s over the "
                "peer's):", ""] + insert_section(ins)[4:]
    for f in sorted(glob.glob(os.path.join(OUT, "curves_*.json"))):
        curves = json.load(open(f))
        out += [f"Equal recall, {curves[0]['set']} (fastest setting reaching it; q/s through "
                "Python, one thread):", "", "| engine | recall 0.90 | recall 0.95 |",
                "|---|---|---|"]
        for c in curves:
            cells = []
            for target in (0.90, 0.95):
                r = first_at([x for x in c["rows"] if x["param"] is not None], target)
                cells.append(f"{fmt(r['qps'])} (ef {r['param']})" if r else "not reached")
            out.append(f"| {c['engine']} | {cells[0]} | {cells[1]} |")
        out.append("")
    with open(os.path.join(HERE, "RESULTS-speed-summary.md"), "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    summary()
    lines = header()
    scan = load("scan.json")
    if scan:
        lines += scan_section(scan)
    lines += filters_section()
    ins = load("insert.json")
    if ins:
        lines += insert_section(ins)
    lines += curves_section()
    knob = load("knob.json")
    if knob:
        lines += knob_section(knob)
    b = os.path.join(OUT, "binding.txt")
    if os.path.exists(b):
        lines += ["## What the binding adds", "",
                  "`binding_overhead.py`: medians per search of each layer, on the same store "
                  "and queries.", "", "```", open(b).read().rstrip(), "```", ""]
    with open(os.path.join(HERE, "RESULTS-speed.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote bench/RESULTS-speed.md")


if __name__ == "__main__":
    main()
