"""The 3-D projection: the model against a float32 reference, the worker, and the stream."""

import gc
import math
import os
import random
import signal
import threading
import time

import pytest

import tarnix
from conftest import collect, open_store
from store_model import codes, f32


# ---------------------------------------------------------------------------------------
# A reference of the model, written from the documented rules: every operation rounded to
# a 32-bit float, dot products summed in index order.


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s = f32(s + f32(x * y))
    return s


def decode(b):
    return f32(f32(b / 127.5) - 1.0)


def normalized(v):
    norm = f32(math.sqrt(dot(v, v)))
    d = norm if math.isfinite(norm) and norm > f32(1e-12) else 1.0
    return [f32(x / d) for x in v]


def orthonormalized(c0, c1, c2):
    c0 = normalized(c0)
    p = dot(c1, c0)
    c1 = normalized([f32(y - f32(p * x)) for x, y in zip(c0, c1)])
    a, b = dot(c2, c0), dot(c2, c1)
    c2 = normalized([f32(z - f32(f32(b * y) + f32(a * x))) for x, y, z in zip(c0, c1, c2)])
    return [c0, c1, c2]


class Model:
    def __init__(self):
        self.dim = None
        self.ensure(0)

    def ensure(self, d):
        if d == self.dim:
            return
        self.dim, self.point_count, self.update_count = d, 0, 0
        self.mean = [0.0] * d
        state, comps = 0x9E3779B9, []
        for _ in range(3):
            c = []
            for _ in range(d):
                state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
                c.append(f32((state & 0xFFFF) * 2.0 ** -15 - 1.0))
            comps.append(c)
        self.comps = orthonormalized(*comps)
        # id -> (code, (x, y, z)); order: ids in the order last learnt.
        self.points, self.order, self.cursor = {}, [], 0

    def centred(self, code):
        return [f32(decode(b) - m) for b, m in zip(code, self.mean)]

    def project(self, u):
        return tuple(dot(u, c) for c in self.comps)

    def learn(self, u, rate, sign):
        for k, c in enumerate(self.comps):
            y = dot(u, c)
            step = f32(rate * y)
            self.comps[k] = [f32(ci + sign * f32(step * f32(ui - f32(y * ci))))
                             for ui, ci in zip(u, c)]
        if self.update_count % 64 == 0:
            self.comps = orthonormalized(*self.comps)

    def upsert(self, ident, code):
        self.ensure(len(code))
        if self.dim == 0:
            return
        if ident in self.points:
            self.delete(ident)
        x = [decode(b) for b in code]
        if self.point_count > 0:
            n1 = f32(self.point_count + 1)
            self.mean = [f32(m + f32(f32(xi - m) / n1)) for m, xi in zip(self.mean, x)]
        else:
            self.mean = list(x)
        self.point_count += 1
        self.update_count += 1
        u = self.centred(code)
        self.learn(u, f32(f32(0.1) / f32(1.0 + f32(f32(self.update_count) * f32(0.0006)))), 1)
        self.points[ident] = (code, self.project(u))
        self.order.append(ident)

    def delete(self, ident):
        if ident not in self.points:
            return
        code = self.points.pop(ident)[0]
        self.order.remove(ident)
        if self.point_count > 1:
            n = f32(self.point_count)
            x = [decode(b) for b in code]
            self.mean = [f32(f32(f32(m * n) - xi) / f32(n - 1.0)) for m, xi in zip(self.mean, x)]
            self.point_count -= 1
            self.update_count += 1
            rate = f32(f32(0.03) / f32(1.0 + f32(f32(self.update_count) * f32(0.0004))))
            self.learn(self.centred(code), rate, -1)
        else:
            self.point_count = 0
            self.mean = [0.0] * self.dim

    def sync(self, items):
        if not items:
            return
        self.ensure(len(items[0][1]))
        listed = {ident for ident, _ in items}
        for ident in [i for i in self.order if i not in listed]:
            self.delete(ident)
        for ident, code in items:
            self.upsert(ident, code)

    def finish_pass(self, batch_size):
        """The end of every worker pass: refresh 4 x batch_size points round-robin (the
        cursor counts positions in the order and is not moved by deletions),
        re-orthonormalise, publish."""
        for _ in range(4 * batch_size if self.order else 0):
            if self.cursor >= len(self.order):
                self.cursor = 0
            ident = self.order[self.cursor]
            self.cursor += 1
            code = self.points[ident][0]
            self.points[ident] = (code, self.project(self.centred(code)))
        self.comps = orthonormalized(*self.comps)
        return [(i,) + self.points[i][1] for i in self.order]


def projected(db):
    """What the worker published once it has caught up, as (id, x, y, z)."""
    stream = db.stream_pca_3d(batch_size=1000, wait_for_latest=True)
    return [(i, x, y, z) for batch in stream for i, x, y, z, _ in batch]


@pytest.fixture
def fast_worker(monkeypatch):
    monkeypatch.setenv("TARNIX_PCA_UPDATE_DELAY_MS", "0")
    monkeypatch.setenv("TARNIX_PCA_WORKER_INTERVAL_MS", "1")


def test_model_matches_the_float32_reference(store_path, monkeypatch, fast_worker):
    """Every pass of the worker, value for value: the sync at open, upserts, re-upserts,
    deletes (also of absent ids), re-orthonormalisation at every 64th step, the round-robin
    refresh with its cursor, and a forced full sync at the end."""
    batch = 3
    monkeypatch.setenv("TARNIX_PCA_BATCH_SIZE", str(batch))
    rng = random.Random(7)
    dim = 6
    vec = lambda: [rng.uniform(-1, 1) for _ in range(dim)]
    current = {"p%d" % i: vec() for i in range(20)}
    db = open_store(store_path)
    db.add_batch(list(current), list(current.values()), ["{}"] * len(current))
    del db
    collect()

    model = Model()
    db = open_store(store_path, pca_enabled=True)
    model.sync([(i, codes(v)) for i, v in current.items()])
    assert projected(db) == model.finish_pass(batch)

    fresh = 20
    for step in range(110):
        roll = rng.random()
        if roll < 0.45 and current:  # re-learn an item from a new vector
            ident = rng.choice(sorted(current))
        elif roll < 0.65 or not current:  # a new item
            ident, fresh = "p%d" % fresh, fresh + 1
        else:  # a deletion, now and then of an id that is not there
            ident = rng.choice(sorted(current)) if roll < 0.95 else "absent"
            current.pop(ident, None)
            db.delete(ident)
            model.delete(ident)
            ident = None
        if ident:
            current[ident] = vec()
            db.add(ident, current[ident], "{}")
            model.upsert(ident, codes(current[ident]))
        assert projected(db) == model.finish_pass(batch), step
    assert model.update_count > 128

    stream = db.stream_pca_3d(batch_size=1000, wait_for_latest=True, force_refresh=True)
    published = [p[:4] for b in stream for p in b]
    # The sync lists the items in slot order, which only the store knows; the published
    # order after a sync is that list's.
    model.sync([(p[0], codes(current[p[0]])) for p in published])
    assert published == model.finish_pass(batch)


# ---------------------------------------------------------------------------------------
# The stream.


def items(n, dim=3, seed=1):
    rng = random.Random(seed)
    ids = ["i%d" % i for i in range(n)]
    vectors = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(n)]
    metas = ['{"g":%d}' % (i % 2) for i in range(n)]
    return ids, vectors, metas


def test_stream_batches_filters_and_results(store_path, fast_worker):
    db = open_store(store_path, pca_enabled=True)
    ids, vectors, metas = items(10)
    db.add_batch(ids, vectors, metas)
    # Expired before the worker fetches it: the upsert changes nothing.
    db.add("short", [0.1, 0.2, 0.3], '{"g":1}', ttl=0)

    ones = db.stream_pca_3d(batch_size=1, wait_for_latest=True)
    assert iter(ones) is ones
    batches = list(ones)
    assert [len(b) for b in batches] == [1] * 10
    ident, x, y, z, meta = batches[0][0]
    assert (type(ident), type(x), type(y), type(z), type(meta)) == (str, float, float, float, str)
    assert [b[0][0] for b in batches] == ids
    assert batches[3][0][4] == '{"g":1}'

    whole = db.stream_pca_3d(batch_size=2**32 - 1)
    assert len(next(whole)) == 10
    with pytest.raises(StopIteration):
        next(whole)
    assert [p[0] for b in db.stream_pca_3d(filter_json='{"g":1}') for p in b] == ids[1::2]
    assert list(db.stream_pca_3d(filter_json='{"g":5}')) == []

    # A stream is a snapshot: deleted points still come, without metadata, and the stream
    # works on after its store is gone.
    stream = db.stream_pca_3d(batch_size=4)
    db.delete("i0")
    db.delete_by_filter('{"g":1}')
    del db
    collect()
    got = [p for b in stream for p in b]
    assert [p[0] for p in got] == ids
    assert [p[4] for p in got[:4]] == ["{}", "{}", '{"g":0}', "{}"]


def thread_count():
    return len(os.listdir("/proc/self/task"))


def test_disabled_store_streams_nothing_and_runs_no_thread(store_path):
    gc.collect()
    before = thread_count()
    db = open_store(store_path, pca_enabled=False)
    db.add("a", [0.1], "{}")
    assert thread_count() == before
    for kwargs in ({}, {"wait_for_latest": True, "force_refresh": True},
                   {"filter_json": "not json"}):
        assert list(db.stream_pca_3d(**kwargs)) == []
    with pytest.raises(ValueError, match="^batch_size must be > 0$"):
        db.stream_pca_3d(0)


def test_worker_waits_out_its_delay_and_drops_quickly(store_path):
    gc.collect()
    before = thread_count()
    db = open_store(store_path, pca_enabled=True)
    assert thread_count() == before + 1
    db.add("a", [0.1, 0.2], "{}")
    # The first pass comes after the default delay of two minutes.
    assert list(db.stream_pca_3d(wait_for_latest=True, timeout_ms=50)) == []
    gc.collect()
    start = time.monotonic()
    del db
    collect()
    assert time.monotonic() - start < 0.5
    assert thread_count() == before


@pytest.fixture
def stuck_worker(monkeypatch, fast_worker):
    """A worker that never takes an event, so a wait for it never ends by itself."""
    monkeypatch.setenv("TARNIX_PCA_BATCH_SIZE", "0")
    # Its empty passes would otherwise follow each other without a pause.
    monkeypatch.setenv("TARNIX_PCA_UPDATE_DELAY_MS", "50")


def test_a_bounded_wait_ends_on_time_and_lets_other_threads_run(store_path, stuck_worker):
    db = open_store(store_path, pca_enabled=True)
    ids, vectors, metas = items(5)
    db.add_batch(ids, vectors, metas)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    start = time.monotonic()
    try:
        stream = db.stream_pca_3d(wait_for_latest=True, timeout_ms=300, force_refresh=True)
    finally:
        stop.set()
        thread.join()
    assert 0.29 <= time.monotonic() - start < 5
    assert len(ticks) > 20
    # Nothing was ever taken from the queue, so nothing was learnt.
    assert list(stream) == []


class Interrupted(Exception):
    pass


def test_a_signal_ends_an_unbounded_wait_leaving_nothing_locked(store_path, stuck_worker):
    db = open_store(store_path, pca_enabled=True)
    db.add("a", [0.1, 0.2], '{"k":1}')

    def raise_interrupted(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGINT, raise_interrupted)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        with pytest.raises(Interrupted):
            db.stream_pca_3d(wait_for_latest=True, filter_json='{"k":1}')
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    db.add("b", [0.2, 0.3], "{}")
    assert db.get_all_items("{}") == ['{"k":1}', "{}"]
