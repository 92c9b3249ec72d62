"""Recall floors on a clustered data set of benchmark shape, small enough for every run.

The full comparison with other engines lives in bench/ (`make bench`); this slice only
guards against a change that quietly loses recall: the graph walk, the default plan, and
filtered searches of several shares. Pure Python (no numpy), so PyPy
runs it too. Floors sit a few points under what the current graph measures; timings are
never asserted.
"""
import json
import operator
import random
import struct

import pytest

import tarnix

N = 12_000
DIM = 32
QUERIES = 25
K = 10
CLUSTERS = 20
# Within a cluster the points vary along 8 directions only, as real embeddings do; full
# 32-d noise would test the curse of dimensionality rather than the graph.
INTRINSIC = 8


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def code(x):
    """The store's byte code of a float32 component, each step rounded to single precision."""
    x = min(1.0, max(-1.0, x))
    return int(f32(f32(x + 1.0) * 127.5))


def clustered(rng, n):
    centres = [[rng.uniform(-0.7, 0.7) for _ in range(DIM)] for _ in range(CLUSTERS)]
    basis = [[rng.gauss(0.0, INTRINSIC ** -0.5) for _ in range(DIM)] for _ in range(INTRINSIC)]
    out, labels = [], []
    for _ in range(n):
        c = rng.randrange(CLUSTERS)
        v = list(centres[c])
        for row in basis:
            g = rng.gauss(0.0, 0.3)
            v = [a + g * b for a, b in zip(v, row)]
        out.append([f32(min(1.0, max(-1.0, a))) for a in v])
        labels.append(c)
    return out, labels


def exact(base, norms, query, k, allowed=None):
    """The k nearest rows by squared L2 (ties by smaller row), via |b|^2 - 2 q.b."""
    scored = []
    mul = operator.mul
    for i, b in enumerate(base):
        if allowed is not None and not allowed[i]:
            continue
        scored.append((norms[i] - 2 * sum(map(mul, query, b)), i))
    scored.sort()
    return [i for _, i in scored[:k]]


def recall(found, truth):
    hits = sum(len(set(f) & set(t)) for f, t in zip(found, truth))
    return hits / float(sum(len(t) for t in truth))


@pytest.fixture(scope="module")
def slice_store(tmp_path_factory):
    rng = random.Random(2024)
    vectors, labels = clustered(rng, N + QUERIES)
    base, queries = vectors[:N], vectors[N:]
    bucket = [rng.randrange(100) for _ in range(N)]
    path = str(tmp_path_factory.mktemp("slice") / "store")
    db = tarnix.TarnDB(path, pca_enabled=False)
    for s in range(0, N, 4000):
        db.add_batch([str(i) for i in range(s, s + 4000)], base[s:s + 4000],
                     [json.dumps({"b": bucket[i], "c": labels[i]}) for i in range(s, s + 4000)])
    base_codes = [[code(x) for x in v] for v in base]
    query_codes = [[code(x) for x in v] for v in queries]
    return {
        "db": db, "base": base, "queries": queries, "bucket": bucket, "labels": labels[:N],
        "codes": base_codes, "qcodes": query_codes,
        "norms": [sum(x * x for x in v) for v in base],
        "cnorms": [sum(x * x for x in v) for v in base_codes],
        "truths": {},
    }


def run(db, queries, filter_json=None):
    return [[int(r[0]) for r in db.search(q, K, filter_json, False)] for q in queries]


def truths(s, allowed=None):
    key = None if allowed is None else tuple(i for i, a in enumerate(allowed) if a)
    if key in s["truths"]:
        return s["truths"][key]
    t_codes = [exact(s["codes"], s["cnorms"], q, K, allowed) for q in s["qcodes"]]
    t_float = [exact(s["base"], s["norms"], q, K, allowed) for q in s["queries"]]
    s["truths"][key] = (t_codes, t_float)
    return t_codes, t_float


def test_graph_walk_recall(slice_store, monkeypatch):
    s = slice_store
    monkeypatch.setenv("TARNIX_DISABLE_SMALL_EXACT_SEARCH", "1")
    found = run(s["db"], s["queries"])
    t_codes, t_float = truths(s)
    # Measured 0.968 / 0.956 (ef = k + 200 at this size).
    assert recall(found, t_codes) >= 0.93
    assert recall(found, t_float) >= 0.92


def test_default_plan_is_exact_at_this_size(slice_store):
    s = slice_store
    found = run(s["db"], s["queries"])
    t_codes, t_float = truths(s)
    assert recall(found, t_codes) >= 0.999
    assert recall(found, t_float) >= 0.95


@pytest.mark.parametrize("share, below", [(0.01, 1), (0.10, 10), (0.50, 50)])
def test_random_filter_recall(slice_store, share, below):
    s = slice_store
    allowed = [b < below for b in s["bucket"]]
    found = run(s["db"], s["queries"], json.dumps({"b": {"$lt": below}}))
    t_codes, _ = truths(s, allowed)
    for f in found:
        assert all(s["bucket"][i] < below for i in f)
    # At this size every share is scanned exactly where scanning costs less than a walk;
    # under 5 % always.
    assert recall(found, t_codes) >= (0.999 if share < 0.05 else 0.95)


def test_cluster_filter_recall(slice_store):
    """Allowed items in two whole clusters, far from most queries: the hard case for a walk."""
    s = slice_store
    allowed = [c in (3, 7) for c in s["labels"]]
    found = run(s["db"], s["queries"], json.dumps({"c": {"$in": [3, 7]}}))
    t_codes, _ = truths(s, allowed)
    for f in found:
        assert all(s["labels"][i] in (3, 7) for i in f)
    assert recall(found, t_codes) >= 0.93
