"""add_batch against hnswlib on one thread: the insert ratio, round by round.

    .venv-bench/bin/python bench/insert_ratio.py --sets l24_100000 s1_100000 [--rounds 3]
        [--build build/bench] [--base-build build/before]

Each build runs in its own process pinned to one core (bench/worker.py, task "small": the
first n vectors in batches of 10,000, metadata "{}"): Tarnix, hnswlib M=6 and M=12 (and the
Tarnix of --base-build, if given), in an order that reverses each round. A ratio is taken
inside a round (Tarnix vectors/s over the peer's) and the median over rounds is printed, so
that load from elsewhere on the machine hits both sides of a ratio.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import data  # noqa: E402


def build(python, build_dir, engine, set_name, n, cpu):
    d = tempfile.mkdtemp(prefix="tarnix-insert-ratio-")
    try:
        env = dict(os.environ, PYTHONPATH=build_dir, OMP_NUM_THREADS="1")
        cmd = ["taskset", "-c", cpu, python, os.path.join(HERE, "worker.py"), "--engine", engine,
               "--set", set_name, "--task", "small", "--dir", d, "--batch", "10000",
               "--count", str(n)]
        p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=3600)
        lines = [l for l in p.stdout.splitlines() if l.startswith("{")]
        if p.returncode != 0 or not lines:
            raise RuntimeError(f"{engine} on {set_name}: {p.stderr.strip()[-400:]}")
        return json.loads(lines[-1])["insert_vps"]
    finally:
        shutil.rmtree(d, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sets", nargs="+", default=["l24_100000", "s1_100000"])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--base-build", default="")
    p.add_argument("--cpu", default="0")
    p.add_argument("--json", default="")
    a = p.parse_args()
    runs = [("tarnix", a.build, "tarnix"), ("hnswlib-M6", a.build, "hnswlib-M6"),
            ("hnswlib-M12", a.build, "hnswlib-M12")]
    if a.base_build:
        runs.append(("tarnix-base", a.base_build, "tarnix"))
    out = {}
    for set_name in a.sets:
        n = len(data.load_set(set_name)[0])
        rounds = []
        for r in range(a.rounds):
            order = runs if r % 2 == 0 else list(reversed(runs))
            got = {name: build(a.python, b, engine, set_name, n, a.cpu) for name, b, engine in order}
            rounds.append(got)
            print(f"{set_name} round {r + 1}: " +
                  ", ".join(f"{k} {v:,.0f}/s" for k, v in got.items()), flush=True)
        ratios = {f"tarnix / {k}": statistics.median(g["tarnix"] / g[k] for g in rounds)
                  for k in rounds[0] if k != "tarnix"}
        out[set_name] = {"rounds": rounds, "ratios": ratios}
        print(f"{set_name}: " + ", ".join(f"{k} = {v:.2f}x" for k, v in ratios.items()))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
