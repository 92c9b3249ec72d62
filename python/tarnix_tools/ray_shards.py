"""A store split over Ray actors: one Tarnix directory per shard, scatter and gather.

``ShardedTarnDB(root, shards=N)`` starts N shard actors, each owning ``<root>/shard-NNN``,
and answers the methods of ``tarnix.TarnDB`` with the same names, arguments and results, so
that code moves from one store to many by changing the constructor. Items go to the shard
chosen by a stable hash of their id (blake2b, the same in every process and every run);
reads fan out to every shard and are merged.

Each shard may have read-only replica actors opening the same directory (a store follows the
writes of other processes), and queries go round the shard's actors in turn. Actors are
restarted by Ray when they die and reopen their directory, which recovers it as any open
does. A call that cannot reach a shard raises ``ShardUnavailable``; a search asked for
``partial=True`` answers from the shards it reached and says so in its result's ``partial``
flag.

Needs the ``[ray]`` extra (``pip install "tarnix[ray]"``) and a running Ray (``ray.init``).
"""

import hashlib
import itertools
import json
import os
import sys
import time

import ray
from ray.exceptions import GetTimeoutError, RayActorError

__all__ = ["ShardedTarnDB", "ShardUnavailable", "SearchResult", "shard_of"]

_LAYOUT_FILE = "shards.json"


class ShardUnavailable(RuntimeError):
    """A shard's actors could not answer (dead, restarting, or unreachable)."""

    def __init__(self, shard, message):
        super().__init__(message)
        self.shard = shard


class SearchResult(list):
    """A search answer: the merged hits, plus whether some shards were left out.

    Only a search asked for ``partial=True`` can return ``partial == True``; ``missing``
    then lists the shard numbers that did not answer.
    """

    def __init__(self, hits, missing=()):
        super().__init__(hits)
        self.missing = sorted(missing)
        self.partial = bool(self.missing)


def shard_of(item_id, shards):
    """The shard an id belongs to: stable across processes, runs and machines."""
    digest = hashlib.blake2b(item_id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % shards


@ray.remote
class _ShardActor:
    """One open store. Errors of the store travel back as values, so that the caller can
    raise them with their own class and message, not wrapped in Ray's task error."""

    def __init__(self, path, read_only):
        import tarnix

        self.path = path
        self.read_only = read_only
        # The projection worker is for the viewer, which opens a shard directly.
        self.db = tarnix.TarnDB(path, pca_enabled=False)

    def call(self, name, *args):
        if self.read_only and name in _WRITES:
            return False, ValueError(f"{name} is not allowed on a read-only replica")
        try:
            return True, getattr(self.db, name)(*args)
        except Exception as exc:  # noqa: BLE001 - handed back to the caller as is
            return False, exc

    def ping(self):
        return os.getpid()


_WRITES = frozenset({"add", "add_batch", "delete", "delete_by_filter", "persist", "vacuum",
                     "prewarm_delete_path"})


def _check_metadata(text):
    if not isinstance(text, str):
        raise TypeError("metadata must be a str")
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise ValueError(f"Invalid JSON: {exc}") from None
    if not isinstance(value, dict):
        raise ValueError("Invalid JSON: metadata must be a JSON object")


def _check_vector(vector):
    if isinstance(vector, (str, bytes)):
        raise TypeError("vector must be a sequence of floats, not a str")
    return len(vector)

def _split_batch(ids, vectors, metadatas, shards):
    """Checks a batch and splits it by shard. One shard cannot take back what another has
    written, so everything a shard could refuse is checked here, before any shard is sent
    anything: a bad item refuses the whole batch."""
    ids, vectors, metadatas = list(ids), list(vectors), list(metadatas)
    if not (len(ids) == len(vectors) == len(metadatas)):
        raise ValueError("ids, vectors, and metadatas must have the same length")
    dims = set()
    for ident, vector, metadata in zip(ids, vectors, metadatas):
        if not isinstance(ident, str):
            raise TypeError("ids must be a sequence of str")
        dims.add(_check_vector(vector))
        _check_metadata(metadata)
    if 0 in dims or len(dims) > 1:
        raise ValueError("the vectors of a batch must all have the same, non-zero length")
    parts = {}
    for ident, vector, metadata in zip(ids, vectors, metadatas):
        part = parts.setdefault(shard_of(ident, shards), ([], [], []))
        part[0].append(ident)
        part[1].append(vector if isinstance(vector, list) else list(vector))
        part[2].append(metadata)
    return parts



class ShardedTarnDB:
    """A sharded store; see the module's text.

    ``shards`` is fixed when the root is first made (it decides where every id lives) and
    is kept in ``<root>/shards.json``; reopening with another number is refused, and
    ``shards=None`` takes the recorded one. ``replicas`` read-only actors per shard share
    its queries. ``env`` is set in every actor's environment (for example store settings),
    ``actor_options`` are passed to Ray's ``.options`` (resources, scheduling). ``timeout``
    (seconds, or None) bounds every call.
    """

    def __init__(self, root, shards=None, replicas=0, env=None, actor_options=None,
                 timeout=None):
        if not ray.is_initialized():
            raise RuntimeError("ShardedTarnDB needs a running Ray: call ray.init() first")
        root = os.fspath(root)
        os.makedirs(root, exist_ok=True)
        self.root = root
        self.shards = self._layout(root, shards)
        if not isinstance(replicas, int) or replicas < 0:
            raise ValueError("replicas must be an integer >= 0")
        self.timeout = timeout
        options = {"max_restarts": -1, "max_task_retries": 0, "num_cpus": 0}
        options.update(actor_options or {})
        if env:
            options["runtime_env"] = {"env_vars": {str(k): str(v) for k, v in env.items()}}
        self.paths = [os.path.join(root, f"shard-{i:03d}") for i in range(self.shards)]
        self._primaries = []
        self._readers = []
        for path in self.paths:
            primary = _ShardActor.options(**options).remote(path, False)
            # A replica must not create the directory behind its primary's back: the primary
            # answers first, so the store exists before any replica opens it.
            self._primaries.append(primary)
        self._wait([a.ping.remote() for a in self._primaries])
        for i, path in enumerate(self.paths):
            group = [self._primaries[i]]
            group += [_ShardActor.options(**options).remote(path, True) for _ in range(replicas)]
            self._readers.append(group)
        self._wait([a.ping.remote() for g in self._readers for a in g[1:]])
        self._turn = [itertools.count() for _ in range(self.shards)]
        self._closed = False

    # -- set-up and plumbing --------------------------------------------------------------

    @staticmethod
    def _layout(root, shards):
        path = os.path.join(root, _LAYOUT_FILE)
        recorded = None
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                recorded = json.load(f)["shards"]
        if shards is None:
            if recorded is None:
                raise ValueError(f"{root} holds no sharded store: give the number of shards")
            return recorded
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError("shards must be an integer >= 1")
        if recorded is not None and recorded != shards:
            raise ValueError(f"{root} was made with {recorded} shards, not {shards}: the ids "
                             "are placed by the number of shards, so it cannot change")
        if recorded is None:
            tmp = path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump({"shards": shards}, f)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, path)
        return shards

    def _wait(self, refs):
        try:
            ray.get(refs, timeout=self.timeout)
        except (RayActorError, GetTimeoutError) as exc:
            raise ShardUnavailable(None, f"a shard actor did not start: {exc}") from None

    def _check_open(self):
        if self._closed:
            raise ValueError("store is closed")

    def _unavailable(self, shard, exc):
        return ShardUnavailable(shard, f"shard {shard} ({self.paths[shard]}) is unavailable: "
                                       f"{type(exc).__name__}: {exc}")

    def _gather(self, calls, allow_missing=False):
        """Runs (shard, actor list, method, args) calls in parallel and returns each shard's
        result. A shard whose first actor fails is asked through its other actors in turn;
        a shard none of whose actors answers raises, or with allow_missing is left out of
        the returned dict. The store's own errors are raised as they are."""
        self._check_open()
        pending = {}
        for shard, actors, name, args in calls:
            pending[shard] = (list(actors), name, args, None)
        results = {}
        errors = []
        while pending:
            refs = {shard: actors[0].call.remote(name, *args)
                    for shard, (actors, name, args, _) in pending.items()}
            retry = {}
            for shard, ref in refs.items():
                actors, name, args, _ = pending[shard]
                try:
                    ok, value = ray.get(ref, timeout=self.timeout)
                except (RayActorError, GetTimeoutError) as exc:
                    if name in _WRITES or len(actors) == 1:
                        if not allow_missing:
                            errors.append(self._unavailable(shard, exc))
                    else:
                        retry[shard] = (actors[1:], name, args, exc)
                    continue
                if ok:
                    results[shard] = value
                else:
                    errors.append(value)
            pending = retry
        if errors:
            raise errors[0]
        return results

    def _readers_of(self, shard):
        group = self._readers[shard]
        start = next(self._turn[shard]) % len(group)
        return group[start:] + group[:start]

    def _everywhere(self, name, *args, write=False, allow_missing=False):
        calls = [(i, [self._primaries[i]] if write else self._readers_of(i), name, args)
                 for i in range(self.shards)]
        return self._gather(calls, allow_missing=allow_missing)

    def shard_of(self, item_id):
        return shard_of(item_id, self.shards)

    # -- writes ---------------------------------------------------------------------------

    def add(self, id, vector, metadata, skip_index=None, ttl=None):  # noqa: A002 - TarnDB's name
        if not isinstance(id, str):
            raise TypeError("id must be a str")
        _check_vector(vector)
        shard = self.shard_of(id)
        self._gather([(shard, [self._primaries[shard]], "add",
                       (id, list(vector), metadata, skip_index, ttl))])

    def add_batch(self, ids, vectors, metadatas, skip_index=None, ttl=None):
        parts = _split_batch(ids, vectors, metadatas, self.shards)
        self._gather([(s, [self._primaries[s]], "add_batch", (i, v, m, skip_index, ttl))
                      for s, (i, v, m) in parts.items()])

    def delete(self, id):  # noqa: A002 - TarnDB's name
        if not isinstance(id, str):
            raise TypeError("id must be a str")
        shard = self.shard_of(id)
        self._gather([(shard, [self._primaries[shard]], "delete", (id,))])

    def delete_by_filter(self, filter_json):
        return sum(self._everywhere("delete_by_filter", filter_json, write=True).values())

    def persist(self):
        self._everywhere("persist", write=True)

    def vacuum(self):
        self._everywhere("vacuum", write=True)

    def prewarm_delete_path(self):
        return all(self._everywhere("prewarm_delete_path", write=True).values())

    # -- reads ----------------------------------------------------------------------------

    def count(self):
        return sum(self._everywhere("count").values())

    def exists(self, filter_json):
        return any(self._everywhere("exists", filter_json).values())

    def get_all_items(self, filter_json):
        found = self._everywhere("get_all_items", filter_json)
        return [text for shard in sorted(found) for text in found[shard]]

    def get_all_items_json(self, filter_json):
        found = self._everywhere("get_all_items_json", filter_json)
        return json.dumps([item for shard in sorted(found) for item in json.loads(found[shard])],
                          separators=(",", ":"), ensure_ascii=False)

    def search(self, vector, k, filter_json=None, load_metadata=True, partial=False):
        """The k nearest items over all shards, ordered by score and then by id. With
        ``partial=True`` a shard that cannot be reached is left out and the result's
        ``partial`` flag is set; otherwise it raises ShardUnavailable."""
        _check_vector(vector)
        vector = list(vector)
        found = self._everywhere("search", vector, k, filter_json, load_metadata,
                                 allow_missing=partial)
        hits = sorted((hit for part in found.values() for hit in part),
                      key=lambda hit: (hit[1], hit[0]))[:k]
        missing = [i for i in range(self.shards) if i not in found]
        return SearchResult(hits, missing)

    def search_json(self, vector, k, filter_json=None, partial=False):
        _check_vector(vector)
        vector = list(vector)
        found = self._everywhere("search_json", vector, k, filter_json, allow_missing=partial)
        hits = [hit for part in found.values() for hit in json.loads(part)]
        hits.sort(key=lambda hit: (hit["score"], hit["id"]))
        return json.dumps(hits[:k], separators=(",", ":"), ensure_ascii=False)

    def aggregate_unique(self, filter_json, group_by_field, sort_by_field, output_fields,
                         descending=True):
        """One item per group over all shards. Each shard picks its representative as a
        single store does; across shards the same rule decides: numbers (or strings) that
        are strictly better replace the current one, and on a tie or a mix of kinds the
        lower shard keeps it. Groups are then ordered by their sort values (numbers; others
        count as 0.0)."""
        output_fields = list(output_fields)
        if not isinstance(descending, bool):
            raise TypeError("descending must be a bool")
        # The sort value is needed to compare representatives, so each shard is asked for
        # it; it is taken out again unless the caller asked for it.
        added = sort_by_field not in output_fields and sort_by_field != group_by_field
        asked = output_fields + [sort_by_field] if added else output_fields
        found = self._everywhere("aggregate_unique", filter_json, group_by_field, sort_by_field,
                                 asked, descending)
        best = {}
        order = []
        for shard in sorted(found):
            for obj in json.loads(found[shard]):
                key = json.dumps(obj.get(group_by_field), sort_keys=True)
                value = obj.get(sort_by_field)
                if added:
                    obj.pop(sort_by_field, None)
                if key not in best:
                    best[key] = (value, obj)
                    order.append(key)
                elif _better(value, best[key][0], descending):
                    best[key] = (value, obj)
        groups = [best[key] for key in order]
        groups.sort(key=lambda g: _numeric(g[0]), reverse=descending)
        return json.dumps([obj for _, obj in groups], separators=(",", ":"), sort_keys=True,
                          ensure_ascii=False)

    # -- life cycle -----------------------------------------------------------------------

    def actors(self, shard):
        """The shard's actors: its primary first, then its replicas (for tests and tools)."""
        return list(self._readers[shard])

    def wait_ready(self, timeout=60.0):
        """Waits until every actor answers again (after a restart, for example)."""
        deadline = time.monotonic() + timeout
        for group in self._readers:
            for actor in group:
                while True:
                    try:
                        ray.get(actor.ping.remote(), timeout=max(0.1, deadline - time.monotonic()))
                        break
                    except (RayActorError, GetTimeoutError):
                        if time.monotonic() > deadline:
                            raise ShardUnavailable(None, "a shard actor did not come back") \
                                from None
                        time.sleep(0.2)

    def close(self):
        if self._closed:
            return
        self._closed = True
        for group in self._readers:
            for actor in group:
                ray.kill(actor, no_restart=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- ingest from a Ray Dataset --------------------------------------------------------

    def ingest_dataset(self, dataset, id_column="id", vector_column="vector",
                       metadata_column="metadata", batch_size=1024, progress=True):
        """Adds every row of a Ray Dataset. Batches run in Ray Data's workers (map_batches),
        each split by shard and sent straight to the shard actors; ``progress`` is True
        (a line on standard error as batches finish), False, or a callable taking (rows
        done, rows in all or None). Returns the number of rows added."""
        self._check_open()
        primaries, shards = list(self._primaries), self.shards

        def write(batch):
            ids = [str(i) for i in batch[id_column]]
            vectors = [[float(x) for x in v] for v in batch[vector_column]]
            if metadata_column in batch:
                metas = [m if isinstance(m, str) else json.dumps(m) for m in batch[metadata_column]]
            else:
                metas = ["{}"] * len(ids)
            parts = _split_batch(ids, vectors, metas, shards)
            refs = [primaries[s].call.remote("add_batch", *p) for s, p in parts.items()]
            for ok, value in ray.get(refs):
                if not ok:
                    raise value
            return {"rows": [len(ids)]}

        total = None
        try:
            total = dataset.count()
        except Exception:  # noqa: BLE001 - the total only feeds the progress line
            pass
        report = progress if callable(progress) else (_print_progress if progress else None)
        done = 0
        # As many batch tasks at once as there are shards: every actor has work, and no
        # actor a long queue.
        written = dataset.map_batches(write, batch_size=batch_size, batch_format="numpy",
                                      concurrency=max(1, shards))
        for out in written.iter_rows():
            done += int(out["rows"])
            if report:
                report(done, total)
        return done


def _print_progress(done, total):
    end = f" of {total}" if total is not None else ""
    print(f"ingested {done}{end} rows", file=sys.stderr, flush=True)


def _numeric(value):
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else 0.0


def _better(new, old, descending):
    def is_num(v):
        return isinstance(v, (int, float)) and not isinstance(v, bool)

    if is_num(new) and is_num(old):
        return new > old if descending else new < old
    if isinstance(new, str) and isinstance(old, str):
        a, b = new.encode("utf-8"), old.encode("utf-8")
        return a > b if descending else a < b
    return False
