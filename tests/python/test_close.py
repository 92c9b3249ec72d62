"""close() and the with block: a closed store refuses every call, lets go of the directory
at once (on every interpreter, without waiting for the collector), and calls in flight
finish on the store they started with."""

import threading

import pytest

import tarnix
from conftest import open_store
from test_surface import SIGNATURES

DATA_METHODS = sorted(n for n in SIGNATURES if n not in ("close", "__exit__"))


def test_with_closes_on_exit_and_on_error_and_every_call_then_fails(store_path):
    with open_store(store_path) as db:
        assert isinstance(db, tarnix.TarnDB)
        db.add("a", [0.5, 0.5], '{"k":1}')
    for name in DATA_METHODS:
        # Refused before the arguments are looked at.
        with pytest.raises(ValueError, match="^store is closed$"):
            getattr(db, name)()
    db.close()  # closing again does nothing
    db.__exit__(None, None, None)

    with pytest.raises(KeyError):
        with open_store(store_path) as db2:
            db2.add("b", [0.1, 0.1], "{}")
            raise KeyError("the block's own error propagates")
    with pytest.raises(ValueError, match="store is closed"):
        db2.count()


def test_after_close_another_store_writes_at_once_and_sees_everything(store_path):
    db = open_store(store_path, pca_enabled=True)
    db.add_batch([f"i{n}" for n in range(50)], [[n / 50, 0.0] for n in range(50)],
                 ['{"n":%d}' % n for n in range(50)])
    db.delete("i3")
    db.close()
    # The old object stays referenced: nothing of it may still hold the directory.
    again = open_store(store_path)
    again.add("late", [0.9, 0.9], "{}")
    again.vacuum()
    assert again.count() == 50
    assert again.search([0.9, 0.9], 1)[0][0] == "late"
    assert again.get_all_items('{"n":3}') == []
    again.close()
    assert open_store(store_path).count() == 50


def test_a_stream_made_before_close_keeps_working(store_path, monkeypatch):
    monkeypatch.setenv("TARNIX_PCA_UPDATE_DELAY_MS", "0")
    monkeypatch.setenv("TARNIX_PCA_WORKER_INTERVAL_MS", "20")
    db = open_store(store_path, pca_enabled=True)
    db.add_batch([f"p{n}" for n in range(20)], [[n / 20, -n / 20, 0.3] for n in range(20)],
                 ['{"n":%d}' % n for n in range(20)])
    stream = db.stream_pca_3d(batch_size=7, wait_for_latest=True, timeout_ms=20000)
    db.close()
    points = [p for batch in stream for p in batch]
    assert sorted(p[0] for p in points) == sorted(f"p{n}" for n in range(20))
    assert all(p[4].startswith('{"n":') for p in points)


class ClosingFloat:
    """A vector component whose conversion closes the store under the running call."""

    def __init__(self, db):
        self.db = db

    def __float__(self):
        self.db.close()
        return 0.25


def test_closing_during_a_call_leaves_the_call_its_store(store_path):
    db = open_store(store_path)
    db.add("a", [0.25, 0.25], "{}")
    db.add("b", [ClosingFloat(db), 0.25], "{}")  # finishes on the store it began with
    with pytest.raises(ValueError, match="store is closed"):
        db.count()
    assert sorted(open_store(store_path).get_all_items("{}")) == ["{}", "{}"]


def test_close_while_searches_run_on_other_threads(store_path):
    db = open_store(store_path)
    db.add_batch([f"v{n}" for n in range(2000)], [[(n % 97) / 97, (n % 89) / 89] for n in
                                                  range(2000)], ["{}"] * 2000)
    outcomes = []

    def searcher():
        try:
            while True:
                assert len(db.search([0.5, 0.5], 10)) == 10
        except ValueError as e:
            outcomes.append(str(e))

    threads = [threading.Thread(target=searcher) for _ in range(3)]
    for t in threads:
        t.start()
    db.search([0.1, 0.1], 1)
    db.close()
    for t in threads:
        t.join(30)
    assert outcomes == ["store is closed"] * 3
    assert open_store(store_path).count() == 2000
