"""One adapter per engine, all behind the same small interface.

Every engine gets the same float32 arrays. Ids are the row numbers of the base vectors.
The database-like engines (Tarnix, Chroma, LanceDB, sqlite-vec, Qdrant) also store two
integer metadata fields per item, `rr` (a random rank) and `cr` (the rank in cluster
order), which the filtered searches select on; the graph libraries store vectors only and
filter with a predicate over the same arrays where they can.
"""
import json
import os
import shutil

import numpy as np

EF_CONSTRUCTION = 50
# The graph libraries' widths for the sweep, and the width of the one-query-per-call table
# ("as commonly used").
SWEEP_EF = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1034]
COMMON_EF = 64


class Engine:
    name = ""
    persistent = False      # keeps its data in a directory it can reopen
    parallel_build = False  # builds on several threads when asked
    filters = False         # filtered k-NN through its own API
    sweep = []              # values of the search parameter for the recall-QPS curve
    param_name = "ef"
    max_n = None            # largest set it is run on
    max_queries = None      # slow engines answer only the first this many queries
    slow = False            # run in the first round only (far from the others anyway)

    def __init__(self, directory, dim):
        self.dir = directory
        self.dim = dim

    def build(self, vectors, start, batch, threads, metas):
        """Adds rows [start, start + batch) of vectors."""
        raise NotImplementedError

    def finish_build(self, n, threads):
        """Work after the last add (index training, flushing); timed with the inserts."""

    def save(self):
        """Makes the data reopenable from self.dir (for in-memory libraries: writes a file)."""

    def open(self):
        """Opens what save() left; the first query is timed separately."""
        raise NotImplementedError

    def set_param(self, value):
        pass

    def default_param(self):
        return None

    def search(self, q, k):
        raise NotImplementedError

    def search_batch(self, qs, k):
        """One call for many queries on one thread where the engine has it."""
        return [self.search(q, k) for q in qs]

    def search_filtered(self, q, k, field, below, mask):
        raise NotImplementedError

    def close(self):
        pass

    def describe(self):
        return ""


def _metas_json(metas, start, end):
    rr, cr = metas
    return [f'{{"rr":{int(rr[i])},"cr":{int(cr[i])}}}' for i in range(start, end)]


class Tarnix(Engine):
    name = "tarnix"
    persistent = True
    filters = True
    param_name = "plan"

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        import tarnix
        self.mod = tarnix
        self.db = None

    def _db(self):
        if self.db is None:
            self.db = self.mod.TarnDB(self.dir, pca_enabled=False)
        return self.db

    def build(self, vectors, start, batch, threads, metas):
        end = min(start + batch, len(vectors))
        ids = [str(i) for i in range(start, end)]
        meta = _metas_json(metas, start, end) if metas is not None else ["{}"] * (end - start)
        if batch == 1:
            self._db().add(ids[0], vectors[start], meta[0])
        else:
            self._db().add_batch(ids, vectors[start:end], meta)

    def save(self):
        self._db().persist()

    def open(self):
        self.db = self.mod.TarnDB(self.dir, pca_enabled=False)

    def search(self, q, k):
        return [int(r[0]) for r in self.db.search(q, k, None, False)]

    def search_filtered(self, q, k, field, below, mask):
        f = f'{{"{field}": {{"$lt": {below}}}}}'
        return [int(r[0]) for r in self.db.search(q, k, f, False)]

    def close(self):
        self.db = None

    def describe(self):
        return "default plan (walk with ef = k + 768 at 100k; exact scan up to 50k items)"


class TarnixScaled(Tarnix):
    """Tarnix with every vector and query multiplied by one constant per collection, so that
    small components (normalized text embeddings) spread over the 256 codes: the remedy the
    README recommends. The constant maps the 99.99th percentile of |component| to 1."""
    name = "tarnix-scaled"

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        self.scale = None

    def build(self, vectors, start, batch, threads, metas):
        if self.scale is None:
            sample = np.abs(vectors[::max(1, len(vectors) // 20000)])
            self.scale = float(1.0 / np.quantile(sample, 0.9999))
            os.makedirs(self.dir, exist_ok=True)
            with open(os.path.join(self.dir, "bench-scale.json"), "w") as f:
                json.dump({"scale": self.scale}, f)
        end = min(start + batch, len(vectors))
        scaled = np.ascontiguousarray(vectors[start:end] * np.float32(self.scale))
        ids = [str(i) for i in range(start, end)]
        meta = _metas_json(metas, start, end) if metas is not None else ["{}"] * (end - start)
        self._db().add_batch(ids, scaled, meta)

    def open(self):
        with open(os.path.join(self.dir, "bench-scale.json")) as f:
            self.scale = json.load(f)["scale"]
        super().open()

    def search(self, q, k):
        return super().search(q * np.float32(self.scale), k)

    def describe(self):
        return "vectors and queries × one constant (99.99th percentile of |x| -> 1)"


class Hnswlib(Engine):
    parallel_build = True
    filters = True
    sweep = SWEEP_EF

    def __init__(self, directory, dim, m):
        super().__init__(directory, dim)
        import hnswlib
        self.lib = hnswlib
        self.m = m
        self.name = f"hnswlib-M{m}"
        self.index = None

    def build(self, vectors, start, batch, threads, metas):
        if self.index is None:
            self.index = self.lib.Index(space="l2", dim=self.dim)
            self.index.init_index(max_elements=len(vectors), ef_construction=EF_CONSTRUCTION,
                                  M=self.m, random_seed=100)
        end = min(start + batch, len(vectors))
        self.index.add_items(vectors[start:end], np.arange(start, end), num_threads=threads)

    def save(self):
        self.index.save_index(os.path.join(self.dir, "index.bin"))

    def open(self):
        self.index = self.lib.Index(space="l2", dim=self.dim)
        self.index.load_index(os.path.join(self.dir, "index.bin"))

    def default_param(self):
        return COMMON_EF

    def set_param(self, value):
        self.index.set_ef(value)

    def search(self, q, k):
        return self.index.knn_query(q, k=k, num_threads=1)[0][0].tolist()

    def search_batch(self, qs, k):
        return self.index.knn_query(qs, k=k, num_threads=1)[0].tolist()

    def search_filtered(self, q, k, field, below, mask):
        labels, _ = self.index.knn_query(q, k=k, num_threads=1, filter=lambda i: mask[i])
        return labels[0].tolist()

    def describe(self):
        return f"M={self.m} (base layer {2 * self.m}), ef_construction {EF_CONSTRUCTION}"


class USearch(Engine):
    parallel_build = True
    sweep = SWEEP_EF

    def __init__(self, directory, dim, connectivity):
        super().__init__(directory, dim)
        from usearch.index import Index
        self.Index = Index
        self.c = connectivity
        self.name = f"usearch-C{connectivity}"
        self.index = None

    def _new(self):
        return self.Index(ndim=self.dim, metric="l2sq", dtype="f32", connectivity=self.c,
                          expansion_add=EF_CONSTRUCTION, expansion_search=COMMON_EF)

    def build(self, vectors, start, batch, threads, metas):
        if self.index is None:
            self.index = self._new()
        end = min(start + batch, len(vectors))
        if batch == 1:
            self.index.add(start, vectors[start], threads=threads)
        else:
            self.index.add(np.arange(start, end, dtype=np.uint64), vectors[start:end],
                           threads=threads)

    def save(self):
        self.index.save(os.path.join(self.dir, "index.usearch"))

    def open(self):
        self.index = self._new()
        self.index.load(os.path.join(self.dir, "index.usearch"))

    def default_param(self):
        return COMMON_EF

    def set_param(self, value):
        self.index.expansion_search = value

    def search(self, q, k):
        return self.index.search(q, k, threads=1).keys.tolist()

    def search_batch(self, qs, k):
        return self.index.search(qs, k, threads=1).keys.tolist()

    def describe(self):
        return (f"connectivity {self.c} (base layer {2 * self.c}), expansion_add "
                f"{EF_CONSTRUCTION}")


class Faiss(Engine):
    parallel_build = True
    sweep = SWEEP_EF

    def __init__(self, directory, dim, m, sq8):
        super().__init__(directory, dim)
        import faiss
        self.faiss = faiss
        self.m = m
        self.sq8 = sq8
        self.name = f"faiss-HNSW{m}{'-SQ8' if sq8 else '-Flat'}"
        self.index = None
        self.pending = []

    def build(self, vectors, start, batch, threads, metas):
        self.faiss.omp_set_num_threads(threads)
        if self.index is None:
            if self.sq8:
                self.index = self.faiss.IndexHNSWSQ(self.dim, self.faiss.ScalarQuantizer.QT_8bit,
                                                    self.m)
                # The quantizer needs its ranges first: train on the whole set, timed.
                self.index.train(vectors)
            else:
                self.index = self.faiss.IndexHNSWFlat(self.dim, self.m)
            self.index.hnsw.efConstruction = EF_CONSTRUCTION
        end = min(start + batch, len(vectors))
        self.index.add(vectors[start:end])

    def save(self):
        self.faiss.write_index(self.index, os.path.join(self.dir, "index.faiss"))

    def open(self):
        self.index = self.faiss.read_index(os.path.join(self.dir, "index.faiss"))

    def default_param(self):
        return COMMON_EF

    def set_param(self, value):
        self.faiss.omp_set_num_threads(1)
        self.index.hnsw.efSearch = value

    def search(self, q, k):
        return self.index.search(q.reshape(1, -1), k)[1][0].tolist()

    def search_batch(self, qs, k):
        self.faiss.omp_set_num_threads(1)
        return self.index.search(qs, k)[1].tolist()

    def describe(self):
        return (f"M={self.m} (base layer {2 * self.m}), "
                f"{'8-bit scalar quantizer' if self.sq8 else 'float vectors'}, "
                f"efConstruction {EF_CONSTRUCTION}")


class Chroma(Engine):
    name = "chroma"
    persistent = True
    filters = True
    sweep = [10, 16, 32, 64, 128, 256, 512]
    slow = True

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        import chromadb
        self.chromadb = chromadb
        self.client = None
        self.col = None
        self.ef = COMMON_EF

    def _client(self):
        if self.client is None:
            from chromadb.config import Settings
            self.client = self.chromadb.PersistentClient(
                path=self.dir, settings=Settings(anonymized_telemetry=False))
        return self.client

    def build(self, vectors, start, batch, threads, metas):
        if self.col is None:
            self.col = self._client().create_collection(
                "bench", configuration={"hnsw": {"space": "l2",
                                                 "ef_construction": EF_CONSTRUCTION,
                                                 "ef_search": COMMON_EF}})
        end = min(start + batch, len(vectors))
        step = min(batch, self._client().get_max_batch_size())
        for s in range(start, end, step):
            e = min(s + step, end)
            kw = {}
            if metas is not None:
                kw["metadatas"] = [{"rr": int(metas[0][i]), "cr": int(metas[1][i])}
                                   for i in range(s, e)]
            self.col.add(ids=[str(i) for i in range(s, e)], embeddings=vectors[s:e], **kw)

    def open(self):
        self.col = self._client().get_collection("bench")

    def default_param(self):
        return COMMON_EF

    def set_param(self, value):
        if value != self.ef:
            self.col.modify(configuration={"hnsw": {"ef_search": value}})
            self.ef = value

    def search(self, q, k):
        r = self.col.query(query_embeddings=[q], n_results=k, include=[])
        return [int(i) for i in r["ids"][0]]

    def search_batch(self, qs, k):
        r = self.col.query(query_embeddings=qs, n_results=k, include=[])
        return [[int(i) for i in ids] for ids in r["ids"]]

    def search_filtered(self, q, k, field, below, mask):
        r = self.col.query(query_embeddings=[q], n_results=k, include=[],
                           where={field: {"$lt": int(below)}})
        return [int(i) for i in r["ids"][0]]

    def close(self):
        self.col = None
        self.client = None

    def describe(self):
        return f"PersistentClient, HNSW (M 16), ef_construction {EF_CONSTRUCTION}"


class Lance(Engine):
    name = "lancedb"
    persistent = True
    filters = True
    param_name = "nprobes"
    sweep = [1, 4, 16, 64]
    max_queries = 300
    slow = True

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        import lancedb
        import pyarrow as pa
        self.lancedb = lancedb
        self.pa = pa
        self.db = None
        self.tbl = None
        self.nprobes = 20

    def _batch(self, vectors, metas, s, e):
        pa = self.pa
        flat = pa.array(np.ascontiguousarray(vectors[s:e]).reshape(-1), type=pa.float32())
        cols = {"id": pa.array(np.arange(s, e, dtype=np.int64)),
                "vector": pa.FixedSizeListArray.from_arrays(flat, self.dim)}
        if metas is not None:
            cols["rr"] = pa.array(metas[0][s:e].astype(np.int64))
            cols["cr"] = pa.array(metas[1][s:e].astype(np.int64))
        return pa.table(cols)

    def build(self, vectors, start, batch, threads, metas):
        if self.db is None:
            self.db = self.lancedb.connect(self.dir)
        end = min(start + batch, len(vectors))
        t = self._batch(vectors, metas, start, end)
        if self.tbl is None:
            self.tbl = self.db.create_table("bench", data=t)
        else:
            self.tbl.add(t)

    def finish_build(self, n, threads):
        # IVF-PQ, sized as its documentation suggests: sqrt(n) partitions, dim/8 sub-vectors.
        if n >= 5000:
            self.tbl.create_index(metric="l2", num_partitions=int(np.sqrt(n)),
                                  num_sub_vectors=self.dim // 8)
        if self.tbl is not None:
            try:
                self.tbl.optimize()
            except Exception:
                pass

    def open(self):
        self.db = self.lancedb.connect(self.dir)
        self.tbl = self.db.open_table("bench")

    def default_param(self):
        return 20

    def set_param(self, value):
        self.nprobes = value

    def _q(self, q, k):
        return (self.tbl.search(q).metric("l2").limit(k).nprobes(self.nprobes)
                .refine_factor(10).select(["id"]))

    def search(self, q, k):
        return self._q(q, k).to_arrow()["id"].to_pylist()

    def search_filtered(self, q, k, field, below, mask):
        r = self._q(q, k).where(f"{field} < {int(below)}", prefilter=True).to_arrow()
        return r["id"].to_pylist()

    def close(self):
        self.tbl = None
        self.db = None

    def describe(self):
        return "IVF-PQ (sqrt(n) partitions, dim/8 sub-vectors), refine_factor 10"


class SqliteVec(Engine):
    name = "sqlite-vec"
    persistent = True
    filters = True
    param_name = "-"
    max_queries = 200
    slow = True

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        self.conn = None

    def _conn(self):
        if self.conn is None:
            import apsw
            import sqlite_vec
            os.makedirs(self.dir, exist_ok=True)
            self.conn = apsw.Connection(os.path.join(self.dir, "vec.db"))
            self.conn.enable_load_extension(True)
            self.conn.load_extension(sqlite_vec.loadable_path())
        return self.conn

    def build(self, vectors, start, batch, threads, metas):
        c = self._conn()
        if start == 0:
            c.execute(f"create virtual table if not exists v using vec0("
                      f"embedding float[{self.dim}], rr integer, cr integer)")
        end = min(start + batch, len(vectors))
        rr = metas[0] if metas is not None else np.zeros(len(vectors), dtype=np.int64)
        cr = metas[1] if metas is not None else rr
        with c:
            c.executemany("insert into v(rowid, embedding, rr, cr) values (?, ?, ?, ?)",
                          [(i, vectors[i].tobytes(), int(rr[i]), int(cr[i]))
                           for i in range(start, end)])

    def open(self):
        self.conn = None
        self._conn()

    def search(self, q, k):
        rows = self.conn.execute("select rowid from v where embedding match ? and k = ?",
                                 (q.astype(np.float32).tobytes(), k)).fetchall()
        return [r[0] for r in rows]

    def search_filtered(self, q, k, field, below, mask):
        rows = self.conn.execute(
            f"select rowid from v where embedding match ? and k = ? and {field} < ?",
            (q.astype(np.float32).tobytes(), k, int(below))).fetchall()
        return [r[0] for r in rows]

    def close(self):
        if self.conn is not None:
            self.conn.close()
        self.conn = None

    def describe(self):
        return "vec0 table, exact scan, metadata columns"


class Qdrant(Engine):
    name = "qdrant-local"
    persistent = True
    filters = True
    max_n = 20_000
    param_name = "-"
    max_queries = 200
    slow = True

    def __init__(self, directory, dim):
        super().__init__(directory, dim)
        from qdrant_client import QdrantClient, models
        self.QdrantClient = QdrantClient
        self.models = models
        self.client = None

    def _client(self):
        if self.client is None:
            self.client = self.QdrantClient(path=self.dir)
        return self.client

    def build(self, vectors, start, batch, threads, metas):
        m = self.models
        c = self._client()
        if start == 0:
            c.create_collection("bench", vectors_config=m.VectorParams(
                size=self.dim, distance=m.Distance.EUCLID))
        end = min(start + batch, len(vectors))
        payload = None
        if metas is not None:
            payload = [{"rr": int(metas[0][i]), "cr": int(metas[1][i])}
                       for i in range(start, end)]
        c.upload_collection("bench", vectors=vectors[start:end], payload=payload,
                            ids=list(range(start, end)), parallel=1)

    def open(self):
        self.client = None
        self._client()

    def search(self, q, k):
        r = self.client.query_points("bench", query=q, limit=k, with_payload=False)
        return [p.id for p in r.points]

    def search_filtered(self, q, k, field, below, mask):
        m = self.models
        flt = m.Filter(must=[m.FieldCondition(key=field, range=m.Range(lt=int(below)))])
        r = self.client.query_points("bench", query=q, limit=k, query_filter=flt,
                                     with_payload=False)
        return [p.id for p in r.points]

    def close(self):
        if self.client is not None:
            self.client.close()
        self.client = None

    def describe(self):
        return "local mode (in-process, exact scan)"


ENGINES = {
    "tarnix": (Tarnix, ()),
    "tarnix-scaled": (TarnixScaled, ()),
    "hnswlib-M6": (Hnswlib, (6,)),
    "hnswlib-M12": (Hnswlib, (12,)),
    "usearch-C6": (USearch, (6,)),
    "usearch-C12": (USearch, (12,)),
    "faiss-HNSW6-Flat": (Faiss, (6, False)),
    "faiss-HNSW12-Flat": (Faiss, (12, False)),
    "faiss-HNSW6-SQ8": (Faiss, (6, True)),
    "faiss-HNSW12-SQ8": (Faiss, (12, True)),
    "chroma": (Chroma, ()),
    "lancedb": (Lance, ()),
    "sqlite-vec": (SqliteVec, ()),
    "qdrant-local": (Qdrant, ()),
}


def make(name, directory, dim):
    cls, args = ENGINES[name]
    return cls(directory, dim, *args)


def engine_class(name):
    """The engine's class, for its properties, without importing its library."""
    return ENGINES[name][0]


ALL = ["tarnix", "hnswlib-M6", "hnswlib-M12", "usearch-C6", "usearch-C12", "faiss-HNSW6-Flat",
       "faiss-HNSW12-Flat", "faiss-HNSW6-SQ8", "faiss-HNSW12-SQ8", "chroma", "lancedb",
       "sqlite-vec", "qdrant-local"]


def versions():
    out = {}
    import importlib.metadata as md
    for pkg in ["numpy", "hnswlib", "usearch", "faiss-cpu", "chromadb", "lancedb", "sqlite-vec",
                "apsw", "qdrant-client", "matplotlib", "torch", "sentence-transformers"]:
        try:
            out[pkg] = md.version(pkg)
        except md.PackageNotFoundError:
            out[pkg] = "absent"
    return out
