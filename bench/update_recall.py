"""Graph-walk recall before and after re-adding items under their own ids (same vectors).

    PYTHONPATH=build/bench python3 bench/update_recall.py [--n 20000] [--redo 2000]

Needs bench/data (make bench-data). The walk is forced (no small-store exact scan) and
recall@10 is scored against the exact answer on the codes, so any drop comes from the graph.
"""
import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402
import tarnix  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--redo", type=int, default=2_000)
    p.add_argument("--queries", type=int, default=300)
    a = p.parse_args()
    base, queries, _, truth_codes, _ = data.load_set(f"s1_{a.n}")
    os.environ["TARNIX_DISABLE_SMALL_EXACT_SEARCH"] = "1"
    db = tarnix.TarnDB(tempfile.mkdtemp(prefix="tarnix-update-"), pca_enabled=False)
    ids = [str(i) for i in range(a.n)]
    for s in range(0, a.n, 10_000):
        db.add_batch(ids[s:s + 10_000], base[s:s + 10_000], ["{}"] * len(ids[s:s + 10_000]))

    def recall():
        hits = 0
        for i, q in enumerate(queries[:a.queries]):
            found = [int(r[0]) for r in db.search(q, 10, None, False)]
            hits += len(set(found) & set(truth_codes[i][:10].tolist()))
        return hits / (10 * a.queries)

    print(f"{a.n:,} items, recall@10 against the code truth: {recall():.4f}")
    for s in range(0, a.redo, 100):
        db.add_batch(ids[s:s + 100], base[s:s + 100], ["{}"] * len(ids[s:s + 100]))
    print(f"after re-adding the first {a.redo:,} under their own ids: {recall():.4f} "
          f"({db.count():,} items)")


if __name__ == "__main__":
    main()
