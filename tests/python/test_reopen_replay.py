"""Reopening replays the log onto the last snapshot. Changes made after a persist (an upsert,
a delete whose slot is reused, an expiry sweep) must come back exactly: no filter may select
an item for a value it no longer has, and no id may be counted twice."""

import gc
import json
import time

import tarnix
from store_model import StoreModel, verify

FILTERS = [{"grp": "red"}, {"grp": "blue"}, {"grp": "green"}, {"n": {"$gte": 2}},
           {"n": {"$lt": 2}}, {"tags": "x"}, {"flag": True}]


def reopen(path):
    # The caller has dropped its store; PyPy frees it (and its writer role) only when the
    # collector runs.
    gc.collect()
    gc.collect()
    return tarnix.TarnDB(path, pca_enabled=False)


def add(db, model, id, vec, **meta):
    meta["id"] = id
    text = json.dumps(meta)
    db.add(id, vec, text)
    model.add(id, vec, text)


def test_upsert_and_reuse_after_persist_survive_reopen(tmp_path):
    path = str(tmp_path)
    db = tarnix.TarnDB(path, pca_enabled=False)
    model = StoreModel()
    add(db, model, "a", [0.1, 0.2], grp="red", n=1, tags=["x"], flag=True)
    add(db, model, "b", [0.3, 0.4], grp="green", n=2)
    add(db, model, "c", [0.5, 0.6], grp="red", n=3)
    db.persist()
    # An upsert takes the slot its old version had; a delete frees a slot for a new id.
    add(db, model, "a", [0.1, 0.2], grp="blue", n=4)
    db.delete("c")
    model.delete("c")
    add(db, model, "d", [-0.5, 0.9], grp="green", n=0, flag=False)
    verify(db, model, filters=FILTERS)
    del db
    db = reopen(path)
    verify(db, model, filters=FILTERS)
    # And once more after a further persist and more changes.
    db.persist()
    add(db, model, "d", [-0.5, 0.8], grp="red", n=5, tags=["x"])
    db.delete_by_filter('{"grp": "green"}')
    model.delete_by_filter('{"grp": "green"}')
    add(db, model, "e", [0.0, 0.0], grp="green", n=1)
    del db
    db = reopen(path)
    verify(db, model, filters=FILTERS)


def test_expiry_sweep_after_persist_survives_reopen(tmp_path):
    # The sweep deletes without a log record, so the log cannot tell the replay that the
    # slot's records now belong to another item.
    path = str(tmp_path)
    db = tarnix.TarnDB(path, pca_enabled=False)
    model = StoreModel()
    add(db, model, "keep", [0.9, 0.9], grp="green", n=1)
    db.add("gone", [0.1, 0.1], json.dumps({"id": "gone", "grp": "red", "n": 7}), None, 0)
    db.persist()
    second = int(time.time())
    while int(time.time()) == second:
        time.sleep(0.05)
    # This add sweeps the expired item first, then may reuse its slot.
    add(db, model, "new", [0.2, 0.2], grp="blue", n=2)
    verify(db, model, filters=FILTERS)
    del db
    db = reopen(path)
    verify(db, model, filters=FILTERS)
    assert db.get_all_items('{"grp": "red"}') == []
    add(db, model, "later", [0.4, 0.4], grp="green", n=3)
    verify(db, model, filters=FILTERS)
