"""vacuum: both procedures keep exactly the live items and compact the files; a vacuum stopped
at any stage, or failed past its commit, is finished by the next open; damaged journals and
stray markers are handled as documented; another process reading the store follows it undisturbed.
"""

import json
import os
import random

import pytest

from conftest import collect, file_size, open_store
from harness_helpers import finish, spawn
from store_model import StoreModel, verify

DIM = 8
STAGES = ["prepare", "slots_compacted", "blob_temp_files_built", "blob_intent_written",
          "blob_files_replaced", "commit_ready", "intent_cleared", "snapshot_temp_written",
          "snapshot_replaced", "wal_reset"]
# The stages whose hook the recovery at open passes again when it finishes from there.
STAGES_PASSED_AGAIN_AT_OPEN = {"blob_temp_files_built", "snapshot_temp_written",
                               "snapshot_replaced", "wal_reset"}
FILTERS = [{"grp": "red"}, {"n": {"$gte": 300}}, {"tags": "t1"}, {"w": {"$exists": True}}]
STOP = "TARNIX_TEST_STOP_IN_PLACE_VACUUM_AT"


def leftovers(path):
    """Files a finished vacuum never leaves behind."""
    return sorted(f for f in os.listdir(path)
                  if (f.endswith((".vac", ".ipvac", ".tmp")) or f.startswith("vacuum"))
                  and f != "snapshot.bin.tmp")


def churned(path, rng, n=500):
    """A store with replacements, deletes, a filter delete and expiring items, part of it in
    the snapshot and part only in the log; and the model of what it holds."""
    db = open_store(path)
    model = StoreModel()

    def meta(i, version):
        m = {"id": "i%d" % i, "n": i, "v": version, "grp": rng.choice(["red", "green", "blue"]),
             "tags": rng.sample(["t0", "t1", "t2"], rng.randrange(3))}
        if i % 4 == 0:
            m["w"] = i / 7
        return json.dumps(m)

    def add_batch(ids, version):
        vectors = [[rng.uniform(-1, 1) for _ in range(DIM)] for _ in ids]
        metas = [meta(i, version) for i in ids]
        names = ["i%d" % i for i in ids]
        db.add_batch(names, vectors, metas)
        model.add_batch(names, vectors, metas)

    add_batch(range(n), 0)
    db.persist()
    add_batch(range(0, n, 7), 1)
    for i in rng.sample(range(n), n // 3):
        db.delete("i%d" % i)
        model.delete("i%d" % i)
    flt = json.dumps({"grp": "blue", "n": {"$lt": n // 5}})
    assert db.delete_by_filter(flt) == model.delete_by_filter(flt)
    v = [0.25] * DIM
    db.add("ttl", v, json.dumps({"id": "ttl", "n": -1}), ttl=10 ** 6)
    model.add("ttl", v, json.dumps({"id": "ttl", "n": -1}))
    return db, model


def expected_blob_sizes(model):
    ids = sum(4 + len(i.encode()) for i in model.items)
    metas = sum(4 + len(json.dumps(it.meta, separators=(",", ":"), sort_keys=True,
                                   ensure_ascii=False).encode())
                for it in model.items.values())
    return ids, metas


def assert_compacted(path, model, slot_files=True):
    live = len(model.items)
    ids, metas = expected_blob_sizes(model)
    assert file_size(path, "vectors.bin") == live * DIM
    assert file_size(path, "ids.bin") == ids
    assert file_size(path, "metadata.bin") == metas
    assert file_size(path, "wal.bin") == 0
    if slot_files:
        # An open extends these to its minimum size again.
        assert file_size(path, "graph.bin") == live * 48
        assert file_size(path, "offsets.bin") == live * 8
        assert file_size(path, "meta_offsets.bin") == live * 8
    assert leftovers(path) == []


def reopen(path):
    collect()
    return open_store(path)


@pytest.mark.parametrize("mode", ["rewrite", "rewrite_rebuilding_graph", "in_place"])
def test_vacuum_keeps_exactly_the_live_items(store_path, monkeypatch, rng, mode):
    monkeypatch.setenv("TARNIX_VACUUM_IN_PLACE", "1" if mode == "in_place" else "0")
    monkeypatch.setenv("TARNIX_VACUUM_REBUILD_GRAPH", "1" if "rebuild" in mode else "0")
    db, model = churned(store_path, rng)
    verify(db, model, rng=rng, filters=FILTERS)
    inode = os.stat(store_path / "vectors.bin").st_ino
    # The stop hook wants the stage's name exactly.
    monkeypatch.setenv(STOP, rng.choice(["Prepare", " prepare", "prepare ", "wal_reset\n"]))
    assert db.vacuum() is None
    # In place keeps the files; the rewrite replaces them.
    assert (os.stat(store_path / "vectors.bin").st_ino == inode) == (mode == "in_place")
    assert_compacted(store_path, model)
    verify(db, model, rng=rng, filters=FILTERS)

    # New writes go to the new log and grow the files again.
    v = [0.5] * DIM
    db.add("after", v, '{"id":"after","n":9999}')
    model.add("after", v, '{"id":"after","n":9999}')
    assert file_size(store_path, "wal.bin") > 0
    del db
    db = reopen(store_path)
    verify(db, model, rng=rng, filters=FILTERS)
    db.vacuum()
    assert_compacted(store_path, model)


def test_vacuum_of_a_store_without_items(store_path, monkeypatch):
    db = open_store(store_path)
    db.vacuum()
    assert leftovers(store_path) == [] and not os.path.exists(store_path / "snapshot.bin")

    monkeypatch.setenv("TARNIX_VACUUM_IN_PLACE", "1")
    for i in range(5):
        db.add("i%d" % i, [0.1 * i] * DIM, '{"n":%d}' % i)
    for i in range(5):
        db.delete("i%d" % i)
    # Nothing is live: the rewrite runs, and the store is left with empty files.
    db.vacuum()
    for name in ["vectors.bin", "graph.bin", "offsets.bin", "ids.bin", "meta_offsets.bin",
                 "metadata.bin", "wal.bin"]:
        assert file_size(store_path, name) == 0, name
    assert db.count() == 0 and db.search([0.0] * DIM, 3) == []
    db.add("again", [0.3] * DIM, '{"n":1}')
    assert db.search([0.3] * DIM, 1)[0][:2] == ("again", 0.0)
    del db
    db = reopen(store_path)
    assert db.count() == 1


@pytest.mark.parametrize("stage", STAGES)
def test_in_place_vacuum_stopped_at_a_stage_is_finished_by_the_next_open(
        store_path, monkeypatch, rng, stage):
    monkeypatch.setenv("TARNIX_VACUUM_IN_PLACE", "1")
    db, model = churned(store_path, rng, n=300)
    monkeypatch.setenv(STOP, stage)
    message = "test stop at in-place vacuum stage " + stage
    with pytest.raises(OSError) as failed:
        db.vacuum()
    assert type(failed.value) is OSError and str(failed.value) == "store must be reopened: " + message
    # The store object refuses everything from now on, reads included.
    for call in (db.count, lambda: db.search([0.0] * DIM, 1), lambda: db.add("x", [0.0] * DIM, "{}")):
        with pytest.raises(OSError, match="^store must be reopened: "):
            call()
    if stage == "slots_compacted":
        assert file_size(store_path, "vectors.bin") == len(model.items) * DIM
        assert file_size(store_path, "offsets.bin") > len(model.items) * 8
    del db
    collect()

    if stage in STAGES_PASSED_AGAIN_AT_OPEN:
        with pytest.raises(OSError) as again:
            open_store(store_path)
        assert type(again.value) is OSError and str(again.value) == message
        collect()
    monkeypatch.delenv(STOP)
    db = open_store(store_path)
    assert_compacted(store_path, model, slot_files=False)
    verify(db, model, rng=rng, filters=FILTERS)
    snapshot = (store_path / "snapshot.bin").read_bytes()
    del db
    db = reopen(store_path)
    assert (store_path / "snapshot.bin").read_bytes() == snapshot
    verify(db, model, rng=rng, filters=FILTERS, queries=1, per_item=False)


def test_a_rewrite_that_failed_after_its_commit_is_finished_by_the_next_open(
        store_path, monkeypatch, rng):
    monkeypatch.setenv("TARNIX_TEST_FAULT_INJECTION", "1")
    db, model = churned(store_path, rng, n=200)
    # Renames: the journal twice, then the fresh files; the first fresh file never moves.
    monkeypatch.setenv("TARNIX_TEST_FAULT", "rename:3:5:always")
    with pytest.raises(OSError) as failed:
        db.vacuum()
    assert str(failed.value) == "store must be reopened: Failed to rename %s to %s" % (
        store_path / "vectors.bin.vac", store_path / "vectors.bin")
    assert "vacuum.intent" in leftovers(store_path)
    with pytest.raises(OSError, match="^store must be reopened: Failed to rename"):
        db.get_all_items("{}")
    monkeypatch.delenv("TARNIX_TEST_FAULT")
    # A second store in this process can take over at once: the failed one let go of the
    # writer role.
    db2 = open_store(store_path)
    assert_compacted(store_path, model, slot_files=False)
    verify(db2, model, rng=rng, filters=FILTERS)
    db2.add("more", [0.0] * DIM, '{"id":"more"}')
    del db, db2
    db = reopen(store_path)
    model.add("more", [0.0] * DIM, '{"id":"more"}')
    verify(db, model, rng=rng, per_item=False)


def test_a_rewrite_that_failed_before_its_commit_leaves_the_store_usable(
        store_path, monkeypatch, rng):
    monkeypatch.setenv("TARNIX_TEST_FAULT_INJECTION", "1")
    db, model = churned(store_path, rng, n=200)
    monkeypatch.setenv("TARNIX_TEST_FAULT", "fsync:3:28:once")
    with pytest.raises(OSError) as failed:
        db.vacuum()
    assert str(failed.value) == "No space left on device (os error 28)"
    assert any(f.endswith(".vac") for f in leftovers(store_path))
    db.add("more", [0.0] * DIM, '{"id":"more"}')
    model.add("more", [0.0] * DIM, '{"id":"more"}')
    verify(db, model, rng=rng, per_item=False)
    del db
    # Its fresh copies are garbage: the open removes them and keeps the live files.
    db = reopen(store_path)
    assert leftovers(store_path) == []
    verify(db, model, rng=rng, filters=FILTERS)


def write_journal(path, data):
    with open(os.path.join(str(path), "vacuum.journal"), "wb") as f:
        f.write(data)


def test_markers_and_damaged_journals_at_open(store_path, capfd):
    db = open_store(store_path)
    db.add("a", [0.1] * DIM, '{"n":1}')
    del db
    collect()
    # An unknown mode: the journal does not decode.
    bad = (1).to_bytes(4, "little") + (7).to_bytes(4, "little") + bytes(32)

    write_journal(store_path, bad)
    capfd.readouterr()
    db = open_store(store_path)
    err = capfd.readouterr().err
    assert err.startswith("Tarnix Warning: vacuum.journal is corrupt or unreadable (")
    assert err.endswith("). Ignoring it.\n") and err.count("\n") == 1
    assert db.count() == 1 and os.path.exists(store_path / "vacuum.journal")
    del db
    collect()

    (store_path / "ids.bin.ipvac").write_bytes(b"")
    with pytest.raises(OSError) as e:
        open_store(store_path)
    assert str(e.value).startswith("vacuum.journal is required to recover in-place vacuum state: ")
    os.remove(store_path / "vacuum.journal")
    with pytest.raises(OSError) as e:
        open_store(store_path)
    assert str(e.value) == "in-place vacuum recovery markers found but vacuum.journal is missing"
    os.remove(store_path / "ids.bin.ipvac")
    (store_path / "vacuum.inplace.intent").write_bytes(b"commit-in-place-blob-vacuum")
    with pytest.raises(OSError) as e:
        open_store(store_path)
    assert str(e.value) == "in-place vacuum recovery markers found but vacuum.journal is missing"


READER = r"""
import json, random, sys, tarnix
db = tarnix.TarnDB(sys.argv[1], False)
rng = random.Random(5)
queries = [[rng.uniform(-1, 1) for _ in range(%d)] for _ in range(8)]
print("ready", flush=True)
rounds = 0
for line in sys.stdin:
    if line.split()[0] != "go":
        break
    # Every answer reflects the writer's last call, and names items with their own metadata.
    live = {json.loads(m)["id"] for m in db.get_all_items("{}")}
    assert len(live) == db.count() == int(line.split()[1]), (len(live), line)
    for q in queries:
        for hit_id, score, meta in db.search(q, 10) + db.search(q, 5, '{"grp":"red"}'):
            assert hit_id in live and json.loads(meta)["id"] == hit_id, (hit_id, meta)
    rounds += 1
    print("ok", flush=True)
print(rounds)
""" % DIM


def test_a_reader_process_follows_through_vacuums(store_path, monkeypatch, rng):
    db, model = churned(store_path, rng, n=2000)
    reader = spawn(READER, store_path, stdin=True)
    try:
        assert reader.stdout.readline() == "ready\n"
        # With another process attached, the in-place flag runs the rewrite instead: moving
        # rows under the reader's mappings would corrupt what it reads.
        monkeypatch.setenv("TARNIX_VACUUM_IN_PLACE", "1")
        for _ in range(3):
            inode = os.stat(store_path / "vectors.bin").st_ino
            db.vacuum()
            assert os.stat(store_path / "vectors.bin").st_ino != inode
            reader.stdin.write("go %d\n" % len(model.items))
            reader.stdin.flush()
            assert reader.stdout.readline() == "ok\n"
            for i in list(model.items)[:50]:
                db.delete(i)
                model.delete(i)
        reader.stdin.write("done\n")
        reader.stdin.flush()
    finally:
        code, out, err = finish(reader, timeout=120)
    assert code == 0, err
    assert out.split()[-1] == "3"
    verify(db, model, rng=rng, filters=FILTERS)
