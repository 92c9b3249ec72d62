"""persist and reopen: file sizes, the snapshot and log recovery paths, damaged files, odd
storage paths and input too deeply nested to handle safely."""

import errno
import json
import os
import random
import struct

import pytest

from conftest import collect, file_size, open_store, random_vectors

DATA_FILES = ["vectors.bin", "graph.bin", "offsets.bin", "ids.bin", "meta_offsets.bin",
              "metadata.bin", "wal.bin", ".proc_lock"]


def sizes(path):
    return {name: file_size(path, name) for name in DATA_FILES}


def reopen(path):
    """Opens the store again once the caller has dropped its previous handle, so that the
    new handle is the directory's only user, as after a restart."""
    collect()
    return open_store(path)


QUERIES = random_vectors(random.Random(99), 6, 4)


def state(db):
    """Everything a user can see of a store, for comparing two opens."""
    return {
        "count": db.count(),
        "items": db.get_all_items_json("{}"),
        "search": [db.search(qv, 5) for qv in QUERIES],
        "filtered": [db.search(qv, 3, '{"g":{"$in":[1,2]}}') for qv in QUERIES],
        "json": db.search_json(QUERIES[0], 4, '{"n":{"$gte":3}}'),
        "exists": [db.exists('{"g":%d}' % g) for g in range(4)],
        "agg": db.aggregate_unique("{}", "s", "n", ["n"]),
    }


def populate(db, rng, start, n):
    ids = ["v%d" % i for i in range(start, start + n)]
    metas = ['{"g":%d,"n":%d,"s":"%s"}' % (i % 4, i, "abc"[i % 3]) for i in range(start, start + n)]
    db.add_batch(ids, random_vectors(rng, n, 4), metas)


def churn(db, rng):
    """Writes of every kind: inserts, replacements, deletes, filter deletes, expiry."""
    populate(db, rng, 0, 40)
    populate(db, rng, 30, 20)  # replaces v30..v39
    for i in range(0, 40, 5):
        db.delete("v%d" % i)
    db.delete_by_filter('{"g":3,"n":{"$lt":20}}')
    db.add("t0", [0.1, 0.2, 0.3, 0.4], '{"g":1,"n":1000}', ttl=0)
    db.add("t1", [0.4, 0.3, 0.2, 0.1], '{"g":2,"n":1001}', ttl=3600)
    db.add("", [0.0, 0.0, 0.0, 0.5], '{"g":0,"n":7}')


# ---- persist ----------------------------------------------------------------------------


def test_persist_on_a_new_store(db, store_path):
    db.persist()
    snapshot = open(str(store_path / "snapshot.bin"), "rb").read()
    empty_bitmap = struct.pack("<Q", 8) + struct.pack("<II", 12346, 0)
    assert snapshot == (struct.pack("<Q", 0) + b"\0" + struct.pack("<QQ", 0, 0)
                        + empty_bitmap * 2 + struct.pack("<QQ", 0, 0))
    assert len(snapshot) == 73
    assert file_size(store_path, "wal.bin") == 0
    assert not (store_path / "snapshot.bin.tmp").exists()


def test_persist_trims_the_slot_files(db, store_path, rng):
    db.add_batch(["v%d" % i for i in range(10)], random_vectors(rng, 10, 3), ["{}"] * 10)
    db.persist()
    assert file_size(store_path, "graph.bin") == 480
    assert file_size(store_path, "offsets.bin") == 80
    assert file_size(store_path, "meta_offsets.bin") == 80
    assert file_size(store_path, "vectors.bin") == 30
    assert file_size(store_path, "wal.bin") == 0
    # The trimmed store still grows.
    db.add_batch(["w%d" % i for i in range(300)], random_vectors(rng, 300, 3), ["{}"] * 300)
    assert db.count() == 310
    assert db.search([0.0] * 3, 400)[-1][1] >= db.search([0.0] * 3, 1)[0][1]
    db.persist()
    assert file_size(store_path, "graph.bin") == 310 * 48


def prepare(db, rng, mode):
    if mode == "log only":
        churn(db, rng)
    elif mode == "snapshot only":
        churn(db, rng)
        db.persist()
    elif mode == "snapshot and log":
        populate(db, rng, 100, 30)
        db.persist()
        churn(db, rng)
        db.delete("v101")
    else:
        churn(db, rng)
        db.persist()
        db.persist()


MODES = ["log only", "snapshot only", "snapshot and log", "persist twice"]


@pytest.mark.parametrize("mode", MODES)
def test_reopen_gives_the_same_store(store_path, rng, mode):
    db = open_store(store_path)
    prepare(db, rng, mode)
    before = state(db)
    assert before["count"] > 20
    del db
    db = reopen(store_path)
    assert state(db) == before


def unordered(st):
    """A state without the order of equal-ranked or slot-ordered results: slots given out
    after a reopen need not match the ones a full replay gives out later."""
    return {
        "count": st["count"],
        "items": sorted(json.loads(st["items"]), key=lambda o: json.dumps(o, sort_keys=True)),
        "search": [sorted(hits, key=lambda h: (h[1], h[0])) for hits in st["search"]],
        "filtered": [sorted(hits, key=lambda h: (h[1], h[0])) for hits in st["filtered"]],
        "json": sorted(json.loads(st["json"]), key=lambda e: (e["score"], e["id"])),
        "exists": st["exists"],
        "agg": sorted(json.loads(st["agg"]), key=lambda o: json.dumps(o, sort_keys=True)),
    }


@pytest.mark.parametrize("mode", MODES)
def test_writes_after_a_reopen_survive_the_next_reopen(store_path, rng, mode):
    db = open_store(store_path)
    prepare(db, rng, mode)
    del db
    db = reopen(store_path)
    db.add("after", [0.9, 0.9, 0.9, 0.9], '{"g":1,"n":5000}')
    db.delete("v41")
    db.add("v3", [0.8, 0.1, 0.8, 0.1], '{"g":2,"n":3,"s":"c"}')
    before = state(db)
    del db
    db = reopen(store_path)
    assert unordered(state(db)) == unordered(before)


def test_slot_reused_after_a_snapshot_keeps_only_its_own_values(store_path):
    db = open_store(store_path)
    db.add("old", [0.1], '{"s":"c"}')
    db.add("keep", [0.9], '{"s":"k"}')
    db.persist()
    db.delete("old")
    db.add("new", [0.5], '{"z":1}')  # takes the slot "old" left
    assert db.get_all_items('{"s":"c"}') == []
    del db
    db = reopen(store_path)
    assert db.count() == 2
    assert db.get_all_items('{"s":"c"}') == []
    assert db.aggregate_unique("{}", "s", "none", []) == '[{"s":"k"}]'


def test_missing_snapshot_with_a_full_log(store_path, rng):
    db = open_store(store_path)
    churn(db, rng)
    before = state(db)
    del db
    db = reopen(store_path)
    assert not (store_path / "snapshot.bin").exists()
    assert state(db) == before
    db.persist()
    os.remove(str(store_path / "snapshot.bin"))
    # Snapshot gone and log emptied: nothing is left that names an item.
    del db
    db = reopen(store_path)
    assert db.count() == 0


def test_an_open_that_replays_a_long_log_checkpoints(store_path, rng, monkeypatch):
    db = open_store(store_path)
    churn(db, rng)
    before = state(db)
    log = file_size(store_path, "wal.bin")
    del db
    # At or below the limit, or with the limit 0, the open leaves the log as it is.
    for limit in ["100000", "0"]:
        monkeypatch.setenv("TARNIX_REPLAY_CHECKPOINT_RECORDS", limit)
        db = reopen(store_path)
        assert state(db) == before
        assert file_size(store_path, "wal.bin") == log
        assert not (store_path / "snapshot.bin").exists()
        del db
    monkeypatch.setenv("TARNIX_REPLAY_CHECKPOINT_RECORDS", "10")
    db = reopen(store_path)
    assert state(db) == before
    assert file_size(store_path, "wal.bin") == 0
    assert (store_path / "snapshot.bin").exists()
    # The next open starts from that snapshot, and takes new writes onto it.
    del db
    db = reopen(store_path)
    assert state(db) == before
    db.add("after", [0.9, 0.9, 0.9, 0.9], '{"g":1,"n":5000}')
    before = state(db)
    del db
    db = reopen(store_path)
    assert state(db) == before


def test_replaying_writes_the_files_kept_changes_no_byte(store_path, rng):
    """The replay repeats the calls: the same slots, rows and offsets, and the records it
    finds in the files are not appended again. (A slot written more than once in the log gets
    new records for its earlier items: the files hold only its last one.)"""
    db = open_store(store_path)
    populate(db, rng, 0, 60)
    for i in range(0, 60, 7):
        db.delete("v%d" % i)
    before = state(db)
    collect()

    def contents():
        out = {}
        for name in DATA_FILES:
            with open(os.path.join(str(store_path), name), "rb") as f:
                out[name] = f.read()
        return out

    files = contents()
    del db
    for _ in range(2):
        db = reopen(store_path)
        assert state(db) == before
        del db
        collect()
        assert contents() == files


def test_a_long_replay_beside_another_open_store_checkpoints_at_the_first_write(
        store_path, rng, monkeypatch):
    db = open_store(store_path)
    # No item with a time to live: an expiry sweep would log deletions of its own.
    populate(db, rng, 0, 40)
    for i in range(0, 40, 3):
        db.delete("v%d" % i)
    log = file_size(store_path, "wal.bin")
    del db
    collect()
    monkeypatch.setenv("TARNIX_REPLAY_CHECKPOINT_RECORDS", "0")
    other = open_store(store_path)
    monkeypatch.setenv("TARNIX_REPLAY_CHECKPOINT_RECORDS", "10")
    # The other store could be reading the log or appending to it: nothing changes yet.
    db = open_store(store_path)
    assert file_size(store_path, "wal.bin") == log
    assert not (store_path / "snapshot.bin").exists()
    assert db.count() == other.count()
    db.add("after", [0.9] * 4, '{"g":1}')
    # The snapshot came first, then the write: the log holds that one record.
    assert file_size(store_path, "wal.bin") == 4 + 8 + 5 + 8 + 4 * 4 + 8 + 7 + 1 + 1
    assert (store_path / "snapshot.bin").exists()
    assert other.count() == db.count()
    before = state(db)
    assert state(other) == before
    del db, other
    db = reopen(store_path)
    assert state(db) == before


def test_truncated_snapshot_warns_and_rebuilds_from_the_log(store_path, rng, capfd):
    db = open_store(store_path)
    db.persist()
    churn(db, rng)
    before = state(db)
    snapshot = store_path / "snapshot.bin"
    os.truncate(str(snapshot), file_size(store_path, "snapshot.bin") - 1)
    capfd.readouterr()
    del db
    db = reopen(store_path)
    err = capfd.readouterr().err
    assert err.startswith("Tarnix Warning: snapshot.bin is corrupt or incompatible (")
    assert err.endswith("). Ignoring and rebuilding from WAL.\n")
    assert err.count("\n") == 1
    assert state(db) == before


def test_garbage_after_a_valid_snapshot_is_ignored(store_path, rng, capfd):
    db = open_store(store_path)
    churn(db, rng)
    db.persist()
    before = state(db)
    with open(str(store_path / "snapshot.bin"), "ab") as f:
        f.write(bytes(range(256)) * 3)
    capfd.readouterr()
    del db
    db = reopen(store_path)
    assert capfd.readouterr().err == ""
    assert state(db) == before


def test_damaged_snapshots_never_break_the_open(store_path, rng, capfd):
    db = open_store(store_path)
    churn(db, rng)
    db.persist()
    db.add("late", [0.5, 0.5, 0.5, 0.5], '{"g":1}')
    del db
    collect()
    path = store_path / "snapshot.bin"
    good = open(str(path), "rb").read()
    damaged = [good[:n] for n in range(0, len(good), max(1, len(good) // 15))]
    flip = random.Random(5)
    for _ in range(15):
        data = bytearray(good)
        for _ in range(3):
            data[flip.randrange(len(data))] ^= 1 << flip.randrange(8)
        damaged.append(bytes(data))
    for data in damaged:
        with open(str(path), "wb") as f:
            f.write(data)
        db = open_store(store_path)
        # Whatever the snapshot said, the log's item is back and every reader works.
        assert db.exists('{"_id":"late"}')
        assert db.count() >= 1
        db.search([0.5] * 4, 10)
        db.search([0.5] * 4, 10, '{"g":1}')
        db.get_all_items_json("{}")
        db.aggregate_unique("{}", "s", "n", [])
        del db
        collect()
    capfd.readouterr()


# ---- The log ----------------------------------------------------------------------------


def test_torn_last_record(store_path):
    db = open_store(store_path)
    db.add("a", [0.1, 0.2], '{"n":1}')
    db.add("b", [0.3, 0.4], '{"n":2}')
    good_end = file_size(store_path, "wal.bin")
    db.add("c", [0.5, 0.6], '{"n":3}')
    full = file_size(store_path, "wal.bin")
    del db
    collect()
    wal = open(str(store_path / "wal.bin"), "rb").read()
    # Cuts inside each field of the record: kind, id length, id, vector, metadata, tags.
    for cut in sorted({good_end + 1, good_end + 4, good_end + 7, good_end + 12, good_end + 13,
                       good_end + 20, good_end + 25, full - 5, full - 2, full - 1}):
        with open(str(store_path / "wal.bin"), "wb") as f:
            f.write(wal[:cut])
        db = open_store(store_path)
        assert [h[0] for h in db.search([0.1, 0.2], 5)] == ["a", "b"]
        # The torn bytes are cut off, so a later write is not hidden behind them.
        assert file_size(store_path, "wal.bin") == good_end
        db.add("d", [0.7, 0.8], '{"n":4}')
        del db
        db = reopen(store_path)
        assert sorted(h[0] for h in db.search([0.1, 0.2], 5)) == ["a", "b", "d"]
        del db
        collect()


def test_torn_tail_is_silent(store_path, capfd):
    db = open_store(store_path)
    db.add("a", [0.1], "{}")
    db.add("b", [0.2], "{}")
    del db
    collect()
    os.truncate(str(store_path / "wal.bin"), file_size(store_path, "wal.bin") - 3)
    capfd.readouterr()
    db = open_store(store_path)
    assert capfd.readouterr() == ("", "")
    assert db.count() == 1


# ---- Data files shorter than the index --------------------------------------------------


@pytest.mark.parametrize("cut_bytes", [6 * 4, 6 * 4 + 3])
def test_vectors_cut_below_the_snapshot(store_path, rng, cut_bytes):
    db = open_store(store_path)
    vectors = random_vectors(rng, 10, 4)
    db.add_batch(["v%d" % i for i in range(10)], vectors,
                 ['{"g":%d,"s":"x"}' % (i % 2) for i in range(10)])
    db.persist()
    assert file_size(store_path, "vectors.bin") == 40
    del db
    collect()
    os.truncate(str(store_path / "vectors.bin"), cut_bytes)
    db = open_store(store_path)
    kept = ["v%d" % i for i in range(6)]
    assert db.count() == 6
    assert sorted(h[0] for h in db.search(vectors[8], 100)) == kept
    assert len(db.get_all_items('{"s":"x"}')) == 6
    assert len(db.get_all_items('{"g":{"$gte":0}}')) == 6
    assert not db.exists('{"_id":"v7"}')
    assert len(db.search(vectors[9], 10, '{"g":1}')) == 3
    # Opening again without writing keeps the same view.
    del db
    db = reopen(store_path)
    assert db.count() == 6
    assert sorted(h[0] for h in db.search(vectors[8], 100)) == kept


def test_slots_dropped_at_open_stay_dropped_after_writes(store_path, rng):
    db = open_store(store_path)
    vectors = random_vectors(rng, 10, 4)
    db.add_batch(["v%d" % i for i in range(10)], vectors, ['{"i":%d}' % i for i in range(10)])
    db.persist()
    del db
    collect()
    os.truncate(str(store_path / "vectors.bin"), 6 * 4)
    db = open_store(store_path)
    db.add("new", [0.5] * 4, '{"i":100}')
    db.delete("v0")
    before = state(db)
    assert before["count"] == 6
    del db
    db = reopen(store_path)
    assert state(db) == before
    assert [h[0] for h in db.search([0.5] * 4, 20)].count("new") == 1


def test_snapshot_over_empty_data_files_opens_empty(tmp_path, rng):
    source = tmp_path / "source"
    db = open_store(source)
    populate(db, rng, 0, 20)
    db.persist()
    del db
    collect()
    target = tmp_path / "target"
    os.makedirs(str(target))
    with open(str(source / "snapshot.bin"), "rb") as f, \
            open(str(target / "snapshot.bin"), "wb") as g:
        g.write(f.read())
    db = open_store(target)
    assert db.count() == 0
    assert db.get_all_items("{}") == []
    assert db.search([0.1] * 4, 5) == []
    assert not db.exists('{"g":1}')
    db.add("new", [0.1] * 4, '{"g":1}')
    assert db.get_all_items('{"g":1}') == ['{"g":1}']
    assert [h[0] for h in db.search([0.1] * 4, 5)] == ["new"]


def test_store_without_vectors_reopens_empty(store_path):
    db = open_store(store_path)
    db.delete("nothing")
    db.add_batch([], [], [])
    db.persist()
    del db
    db = reopen(store_path)
    assert db.count() == 0
    assert db.search([0.1, 0.2], 3) == []
    assert file_size(store_path, "vectors.bin") == 0
    # The dimension is still free to be chosen.
    db.add("a", [0.1, 0.2, 0.3], "{}")
    assert db.search([0.1, 0.2, 0.3], 3)[0][:2] == ("a", 0.0)


# ---- Storage paths ----------------------------------------------------------------------


def test_nested_missing_directories_are_created(tmp_path):
    path = tmp_path / "one" / "two" / "three"
    db = open_store(path)
    assert path.is_dir()
    db.add("a", [0.1], "{}")
    assert file_size(path, "wal.bin") == 37


def test_new_directory_files_and_sizes(store_path):
    db = open_store(store_path)
    first = sizes(store_path)
    assert first == {"vectors.bin": 0, "graph.bin": 9_600_000, "offsets.bin": 1_600_000,
                     "ids.bin": 0, "meta_offsets.bin": 1_600_000, "metadata.bin": 0,
                     "wal.bin": 0, ".proc_lock": 16}
    del db
    db = reopen(store_path)
    assert sizes(store_path) == first
    assert sorted(os.listdir(str(store_path))) == sorted(DATA_FILES)


@pytest.mark.parametrize("below", [(), ("sub",), ("sub", "deeper")])
def test_path_through_a_regular_file(tmp_path, below):
    blocker = tmp_path / "plain-file"
    blocker.write_text("not a directory")
    path = blocker.joinpath(*below)
    with pytest.raises(OSError) as info:
        open_store(path)
    e = info.value
    expected = {errno.ENOTDIR: NotADirectoryError, errno.EEXIST: FileExistsError}
    assert e.errno in expected
    assert type(e) is expected[e.errno]
    assert str(e).endswith("(os error %d)" % e.errno)
    assert str(e) == "%s (os error %d)" % (os.strerror(e.errno), e.errno)
    assert blocker.read_text() == "not a directory"


# ---- Nesting too deep to handle safely --------------------------------------------------


def nested_metadata(levels):
    """An object whose nesting, counting the object itself, is `levels` deep."""
    return '{"a":' + "[" * (levels - 1) + "]" * (levels - 1) + "}"


def nested_filter(levels):
    return '{"$not":' * (levels - 1) + "{}" + "}" * (levels - 1)


def test_very_deep_metadata_is_refused(db, store_path):
    deep = '{"a":' * 100_000 + "1" + "}" * 100_000
    for text in (deep, "[" * 100_000 + "]" * 100_000, nested_metadata(513)):
        with pytest.raises(ValueError, match="^Invalid JSON: "):
            db.add("a", [0.1], text)
        with pytest.raises(ValueError, match="^Invalid JSON: "):
            db.add_batch(["a", "b"], [[0.1], [0.2]], ["{}", text])
    assert file_size(store_path, "wal.bin") == 0
    assert db.count() == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda d, f: d.search([0.1], 3, f),
        lambda d, f: d.search_json([0.1], 3, f),
        lambda d, f: d.exists(f),
        lambda d, f: d.get_all_items(f),
        lambda d, f: d.get_all_items_json(f),
        lambda d, f: d.delete_by_filter(f),
        lambda d, f: d.aggregate_unique(f, "g", "p", []),
    ],
)
def test_very_deep_filters_are_refused(db, call):
    db.add("a", [0.1], '{"g":"x"}')
    for text in ('{"$and":[' * 100_000 + "{}" + "]}" * 100_000, "[" * 100_000,
                 nested_filter(513)):
        with pytest.raises(ValueError, match="^Invalid Filter: "):
            call(db, text)
    # 512 levels are still a filter: 511 negations of "everything", which selects nothing.
    call(db, nested_filter(512))
    assert db.count() == 1


def test_deepest_accepted_metadata_survives_every_path(store_path):
    text = nested_metadata(512)
    db = open_store(store_path)
    db.add("deep", [0.1], text)
    db.add("other", [0.2], '{"a":1}')
    assert db.get_all_items('{"_id":"deep"}') == [text]
    del db
    db = reopen(store_path)  # replayed from the log
    assert db.search([0.1], 1) == [("deep", 0.0, text)]
    db.persist()
    del db
    db = reopen(store_path)  # from the snapshot
    assert db.get_all_items('{"_id":"deep"}') == [text]
    # The deep array is no group; the number is.
    assert db.aggregate_unique("{}", "a", "p", ["a"]) == '[{"a":1}]'
    db.delete("deep")
    assert db.get_all_items("{}") == ['{"a":1}']
