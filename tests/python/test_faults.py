"""Failing system calls seen from Python: the exception's class and exact text, a gate that is
free again, a store that goes on working, and a reopen that holds every acknowledged write.

Rules are armed through the environment; the C++ suite runs the full matrix of operations,
errors and points of failure, this is the view from the host.
"""

import faulthandler
import os

import pytest

from harness_helpers import (EIO_TEXT, ENOSPC_TEXT, collect, gate_words, listed, meta,
                             open_store, vector)

TEXTS = {5: EIO_TEXT, 28: ENOSPC_TEXT}
SETUP_ITEMS = 12
BATCH = list(range(200, 212))
# Repeated in every record of the batch, so its log is larger than the 1 MiB write buffer.
BULKY_SKIP = ["s" * 90000]


def tag(n):
    return "b" if n % 3 == 1 else "a"


def do_add(db):
    db.add("i100", vector(100), meta(100, "a"))


def do_add_batch(db):
    db.add_batch(["i%d" % n for n in BATCH], [vector(n) for n in BATCH],
                 [meta(n, "a") for n in BATCH], skip_index=BULKY_SKIP)


def do_delete(db):
    db.delete("i3")


def do_delete_by_filter(db):
    db.delete_by_filter('{"tag":"b"}')


def do_persist(db):
    db.persist()


WORKLOADS = {
    "add": do_add,
    "add_batch": do_add_batch,
    "delete": do_delete,
    "delete_by_filter": do_delete_by_filter,
    "persist": do_persist,
}

# The state a workload leaves behind when it succeeded, per id touched: metadata or None.
def effect(workload):
    if workload == "add":
        return {"i100": meta(100, "a")}
    if workload == "add_batch":
        return {"i%d" % n: meta(n, "a") for n in BATCH}
    if workload == "delete":
        return {"i3": None}
    if workload == "delete_by_filter":
        return {"i%d" % n: None for n in range(SETUP_ITEMS) if tag(n) == "b"}
    return {}


CASES = [
    ("add", "write:1:28:once"),
    ("add", "fdatasync:1:5:always"),
    ("add_batch", "write:2:28:once"),
    ("add_batch", "write:1:5:always"),
    ("add_batch", "fdatasync:1:28:once"),
    ("delete", "write:1:5:once"),
    ("delete", "fdatasync:1:28:always"),
    ("delete_by_filter", "write:1:28:always"),
    ("delete_by_filter", "fdatasync:1:5:once"),
    ("persist", "fsync:1:5:once"),
    ("persist", "open:1:28:always"),
    ("persist", "rename:1:5:once"),
    ("persist", "ftruncate:1:28:always"),
]


@pytest.fixture
def watchdog():
    # A call that hangs on the gate would hang the whole run; end it with a traceback.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("workload,rule", CASES, ids=["%s-%s" % c for c in CASES])
def test_a_failed_call_raises_the_system_text_and_changes_nothing_acknowledged(
        tmp_path, monkeypatch, watchdog, workload, rule):
    path = tmp_path / "store"
    monkeypatch.setenv("TARNIX_WAL_SYNC_INTERVAL_MS", "0")
    monkeypatch.setenv("TARNIX_TEST_FAULT_INJECTION", "1")
    monkeypatch.delenv("TARNIX_TEST_FAULT", raising=False)
    db = open_store(path)
    acknowledged = {}
    for n in range(SETUP_ITEMS):
        db.add("i%d" % n, vector(n), meta(n, tag(n)))
        acknowledged["i%d" % n] = meta(n, tag(n))

    errno = int(rule.split(":")[2])
    monkeypatch.setenv("TARNIX_TEST_FAULT", rule)
    # Only the class and text are kept: a traceback would keep the store alive.
    with pytest.raises(OSError) as caught:
        WORKLOADS[workload](db)
    raised, text = type(caught.value), str(caught.value)
    del caught
    if workload == "persist":
        assert issubclass(raised, OSError)
    else:
        assert raised is OSError
    assert text == TEXTS[errno]
    assert gate_words(path) == (0, 0)

    if rule.endswith("always"):
        # While the fault lasts the call fails the same way again, without hanging.
        with pytest.raises(OSError) as again:
            WORKLOADS[workload](db)
        text = str(again.value)
        del again
        assert text == TEXTS[errno]

    # The fault is gone: the store goes on.
    monkeypatch.delenv("TARNIX_TEST_FAULT")
    db.add("i999", vector(999), meta(999, "a"))
    acknowledged["i999"] = meta(999, "a")
    if workload == "persist":
        db.persist()
    items = listed(db)
    assert db.count() == len(items)
    del db
    collect()

    monkeypatch.delenv("TARNIX_TEST_FAULT_INJECTION")
    reopened = open_store(path)
    items = listed(reopened)
    assert reopened.count() == len(items)
    touched = effect(workload)
    for key, text in acknowledged.items():
        if key not in touched:
            assert items.get(key) == text, key
    for key, after in touched.items():
        # The failed call's effect may be there or not.
        assert items.get(key) in (after, acknowledged.get(key)), key
    assert set(items) <= set(acknowledged) | set(touched)
    if workload == "add_batch":
        present = [("i%d" % n) in items for n in BATCH]
        assert present == sorted(present, reverse=True), "a batch applies as a prefix"
    assert gate_words(path) == (0, 0)
