"""Shared pieces of the Python benchmarks: data, ground truth, timing."""
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import tarnix


def uniform_vectors(n, dim, seed):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1.0, 1.0, size=(n, dim)).astype(np.float32)


def clustered_vectors(n, dim, seed, clusters=100, spread=0.15):
    """A seeded Gaussian mixture scaled into [-1, 1], like SIFT-style descriptors."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-0.7, 0.7, size=(clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, size=n)
    points = centres[labels] + rng.normal(0.0, spread, size=(n, dim)).astype(np.float32)
    return np.clip(points, -1.0, 1.0).astype(np.float32), labels


def codes(vectors):
    """The store's one-byte codes: (clamp(x, -1, 1) + 1) * 127.5, truncated."""
    v = np.clip(vectors.astype(np.float32), -1.0, 1.0)
    y = (v + np.float32(1.0)) * np.float32(127.5)
    return np.nan_to_num(y, nan=0.0).astype(np.uint8)


def exact_knn(base, queries, k, allowed=None):
    """Exact k nearest by squared L2 (ties by smaller index), in blocks to bound memory."""
    base = base.astype(np.float32)
    norms = (base.astype(np.float64) ** 2).sum(1)
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 256):
        q = queries[start:start + 256].astype(np.float32)
        d = norms[None, :] - 2.0 * (q.astype(np.float64) @ base.T.astype(np.float64))
        if allowed is not None:
            d[:, ~allowed] = np.inf
        idx = np.argpartition(d, kth=min(k, d.shape[1] - 1), axis=1)[:, :k]
        part = np.take_along_axis(d, idx, axis=1)
        order = np.lexsort((idx, part), axis=1)
        out[start:start + 256] = np.take_along_axis(idx, order, axis=1)
    return out


def exact_knn_codes(base_codes, query_codes, k, allowed=None):
    return exact_knn(base_codes.astype(np.float32), query_codes.astype(np.float32), k, allowed)


def recall(found_ids, truth):
    hits = sum(len(set(f) & set(t)) for f, t in zip(found_ids, truth))
    return hits / float(truth.size)


def build_store(path, vectors, metadatas, batch=10_000):
    db = tarnix.TarnDB(path, pca_enabled=False)
    ids = [str(i) for i in range(len(vectors))]
    for start in range(0, len(vectors), batch):
        end = start + batch
        db.add_batch(ids[start:end], vectors[start:end], metadatas[start:end])
    return db


def median_time(fn, rounds=3):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def machine_header():
    sha = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                         text=True).stdout.strip()
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"{platform.python_implementation()} {platform.python_version()}, {cpu}, "
            f"{os.cpu_count()} cores, git {sha}, load {os.getloadavg()[0]:.2f}")


def temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)
