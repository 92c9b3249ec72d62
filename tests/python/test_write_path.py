"""add, add_batch and delete as seen on disk and through the readers: what reaches the log,
what is refused before anything is written, replacement, metadata normal form, indexing
exclusions and expiry."""

import json
import struct

import pytest

from conftest import codes, collect, distance, file_size, open_store


def read_wal(path):
    """Decodes wal.bin into a list of records:
    ("insert", id, [floats], meta_text, skip_index or None, ttl or None) or ("delete", id)."""
    data = open(str(path / "wal.bin"), "rb").read()
    pos = 0

    def take(fmt):
        nonlocal pos
        values = struct.unpack_from("<" + fmt, data, pos)
        pos += struct.calcsize("<" + fmt)
        return values[0] if len(values) == 1 else values

    def text():
        nonlocal pos
        n = take("Q")
        s = data[pos:pos + n].decode("utf-8")
        pos += n
        return s

    records = []
    while pos < len(data):
        kind = take("I")
        if kind == 1:
            records.append(("delete", text()))
            continue
        assert kind == 0, kind
        ident = text()
        n = take("Q")
        vec = list(struct.unpack_from("<%df" % n, data, pos))
        pos += 4 * n
        meta = text()
        skip = None
        if take("B"):
            skip = [text() for _ in range(take("Q"))]
        ttl = take("I") if take("B") else None
        records.append(("insert", ident, vec, meta, skip, ttl))
    return records


def insert_record_size(ident, dim, meta, skip_index=None, ttl=None):
    size = 4 + 8 + len(ident.encode()) + 8 + 4 * dim + 8 + len(meta.encode()) + 1 + 1
    if skip_index is not None:
        size += 8 + sum(8 + len(s.encode()) for s in skip_index)
    if ttl is not None:
        size += 4
    return size


# ---- The log ----------------------------------------------------------------------------


def test_record_sizes_of_add_and_delete(db, store_path):
    db.add("a", [1.0], "{}")
    assert file_size(store_path, "wal.bin") == 37
    db.delete("x")
    assert file_size(store_path, "wal.bin") == 37 + 13


@pytest.mark.parametrize(
    "ident, vector, meta, skip_index, ttl",
    [
        ("a", [1.0], "{}", None, None),
        ("item-\u00e9", [0.5, -0.25, 3.0], '{"b": 1, "a": 2.50}', None, None),
        ("s", [0.1, 0.2], '{"x":"y"}', ["x", "\u2603"], None),
        ("t", [0.1, 0.2], "{}", [], 7),
        ("u", [0.1] * 5, '{"k":[1,2]}', ["k"], 2**32 - 1),
    ],
)
def test_insert_record_holds_exactly_what_the_caller_gave(
    db, store_path, ident, vector, meta, skip_index, ttl
):
    db.add(ident, vector, meta, skip_index=skip_index, ttl=ttl)
    assert file_size(store_path, "wal.bin") == insert_record_size(
        ident, len(vector), meta, skip_index, ttl
    )
    # The metadata text is logged as given, not in its stored normal form.
    [record] = read_wal(store_path)
    expected_vec = [struct.unpack("<f", struct.pack("<f", x))[0] for x in vector]
    assert record == ("insert", ident, expected_vec, meta, skip_index, ttl)


def test_batch_logs_one_record_per_item_in_order(db, store_path):
    ids = ["b1", "b2", "b1"]
    metas = ['{"n":1}', '{"n":2}', '{"n":3}']
    db.add_batch(ids, [[0.1, 0.2], [0.3, 0.4], [0.5, 0.6]], metas, skip_index=["n"], ttl=60)
    records = read_wal(store_path)
    assert [(r[1], r[3], r[4], r[5]) for r in records] == [
        (i, m, ["n"], 60) for i, m in zip(ids, metas)
    ]
    # A later item of the batch with the same id replaces the earlier one.
    assert db.count() == 2
    assert sorted(db.get_all_items("{}")) == ['{"n":2}', '{"n":3}']


def test_delete_logs_even_unknown_ids(db, store_path):
    db.add("a", [0.1], "{}")
    db.delete("never-added")
    db.delete("a")
    assert read_wal(store_path)[1:] == [("delete", "never-added"), ("delete", "a")]
    assert db.count() == 0


def test_empty_batch_writes_nothing(db, store_path):
    assert db.add_batch([], [], []) is None
    assert file_size(store_path, "wal.bin") == 0
    db.add("a", [0.1], "{}")
    before = file_size(store_path, "wal.bin")
    db.add_batch([], [], [], ttl=5)
    assert file_size(store_path, "wal.bin") == before
    assert db.count() == 1


@pytest.mark.parametrize(
    "ids, vectors, metas",
    [
        (["a"], [], ["{}"]),
        (["a", "b"], [[0.1], [0.2]], ["{}"]),
        ([], [[0.1]], []),
        (["a"], [[0.1]], []),
    ],
)
def test_batch_length_mismatch(db, store_path, ids, vectors, metas):
    with pytest.raises(ValueError) as info:
        db.add_batch(ids, vectors, metas)
    assert str(info.value) == "ids, vectors, and metadatas must have the same length"
    assert file_size(store_path, "wal.bin") == 0


def test_batch_with_invalid_json_adds_nothing(db, store_path):
    db.add("keep", [0.1], '{"k":1}')
    before = file_size(store_path, "wal.bin")
    with pytest.raises(ValueError, match="^Invalid JSON: "):
        db.add_batch(["a", "b"], [[0.1], [0.2]], ["{}", "not json"])
    with pytest.raises(ValueError, match="^Invalid JSON: "):
        db.add_batch(["keep", "b"], [[0.1], [0.2]], ['{"k":2}', "[]"])
    assert file_size(store_path, "wal.bin") == before
    assert db.get_all_items("{}") == ['{"k":1}']


# ---- Refused input changes nothing ------------------------------------------------------


def refused_writes():
    big = '{"a":"' + "x" * 10_000_000 + '"}'
    return [
        ("empty vector", lambda d: d.add("a", [], "{}")),
        ("short vector", lambda d: d.add("a", [0.1], '{"v":2}')),
        ("long vector", lambda d: d.add("a", [0.1, 0.2, 0.3], '{"v":2}')),
        ("batch with one wrong length",
         lambda d: d.add_batch(["b", "a"], [[0.1, 0.2], [0.1]], ["{}", "{}"])),
        ("batch with an empty vector",
         lambda d: d.add_batch(["a", "b"], [[0.1, 0.2], []], ["{}", "{}"])),
        ("metadata too large when stored", lambda d: d.add("a", [0.1, 0.2], big)),
        ("batch metadata too large",
         lambda d: d.add_batch(["b", "a"], [[0.1, 0.2]] * 2, ["{}", big])),
        ("metadata not an object", lambda d: d.add("a", [0.1, 0.2], "[1]")),
    ]


@pytest.mark.parametrize("name, write", refused_writes(), ids=[n for n, _ in refused_writes()])
def test_refused_write_leaves_store_and_log_unchanged(db, store_path, name, write):
    db.add("a", [0.5, 0.5], '{"v":1}')
    wal_before = file_size(store_path, "wal.bin")
    with pytest.raises(ValueError):
        write(db)
    assert file_size(store_path, "wal.bin") == wal_before
    assert db.search([0.5, 0.5], 5) == [("a", 0.0, '{"v":1}')]
    assert db.count() == 1


def test_refused_writes_leave_nothing_for_the_next_open(store_path):
    db = open_store(store_path)
    db.add("a", [0.5, 0.5], '{"v":1}')
    for _, write in refused_writes():
        with pytest.raises(ValueError):
            write(db)
    del db
    collect()
    db = open_store(store_path)
    assert db.search([0.5, 0.5], 5) == [("a", 0.0, '{"v":1}')]


def test_new_store_batch_vectors_must_match_the_first(db, store_path):
    with pytest.raises(ValueError):
        db.add_batch(["a", "b"], [[0.1, 0.2], [0.3]], ["{}", "{}"])
    with pytest.raises(ValueError):
        db.add_batch(["a", "b"], [[], []], ["{}", "{}"])
    assert file_size(store_path, "wal.bin") == 0
    assert db.count() == 0
    # Nothing fixed the dimension: a store still takes any first length.
    db.add_batch(["a", "b"], [[0.1, 0.2, 0.3]] * 2, ["{}", "{}"])
    assert db.count() == 2
    with pytest.raises(ValueError):
        db.add("c", [0.1, 0.2], "{}")


def test_first_vector_length_bound(db, store_path):
    with pytest.raises(ValueError):
        db.add("a", [0.0] * 66_052, "{}")
    with pytest.raises(ValueError):
        db.add_batch(["a"], [[0.0] * 66_052], ["{}"])
    assert file_size(store_path, "wal.bin") == 0
    assert file_size(store_path, "vectors.bin") == 0
    db.add("a", [0.25, 0.5], "{}")
    assert db.search([0.25, 0.5], 1)[0][:2] == ("a", 0.0)


def test_metadata_at_the_size_limit_is_kept_whole(db):
    # Exactly 10,000,000 bytes when stored: the largest record the reader accepts.
    text = '{"a":"' + "x" * (10_000_000 - 8) + '"}'
    assert len(text) == 10_000_000
    db.add("big", [0.1], text)
    assert db.get_all_items("{}") == [text]
    assert db.search([0.1], 1)[0][2] == text


# ---- Replacement and metadata form ------------------------------------------------------


def test_adding_an_existing_id_replaces_it(db, store_path):
    db.add("a", [0.1, 0.1], '{"v":1,"c":"old"}')
    db.add("b", [0.9, 0.9], '{"v":2}')
    db.add("a", [-0.5, -0.5], '{"v":3,"c":"new"}')
    assert db.count() == 2
    assert len(read_wal(store_path)) == 3
    assert db.search([-0.5, -0.5], 1) == [("a", 0.0, '{"c":"new","v":3}')]
    assert sorted(db.get_all_items("{}")) == ['{"c":"new","v":3}', '{"v":2}']
    # The old values left the indexes with the old item.
    assert not db.exists('{"c":"old"}')
    assert not db.exists('{"v":1}')
    assert db.exists('{"c":"new"}')
    # Near the old vector, "a" comes back once, at its new vector's distance.
    hits = {h[0]: h[1] for h in db.search([0.1, 0.1], 10)}
    assert len(db.search([0.1, 0.1], 10)) == 2
    assert hits["a"] == distance(codes([0.1, 0.1]), codes([-0.5, -0.5]))


@pytest.mark.parametrize(
    "given, stored",
    [
        ('{"b": 1, "a": 2.50}', '{"a":2.5,"b":1}'),
        ('{"z":1,"a":{"k":[1,2]}}', '{"a":{"k":[1,2]},"z":1}'),
        ('  {\n"s" : "tab\\there" , "n":null, "t":true}  ', '{"n":null,"s":"tab\\there","t":true}'),
        ('{"u":"\\u00e9\\u2603"}', '{"u":"\u00e9\u2603"}'),
        ('{"big":18446744073709551615,"neg":-9223372036854775808,"f":1e300}',
         '{"big":18446744073709551615,"f":1e+300,"neg":-9223372036854775808}'),
        ("{}", "{}"),
    ],
)
def test_metadata_is_stored_in_normal_form(db, given, stored):
    db.add("a", [0.1], given)
    assert db.get_all_items("{}") == [stored]
    assert db.search([0.1], 1) == [("a", 0.0, stored)]
    assert json.loads(stored) == json.loads(given)


# ---- What is indexed --------------------------------------------------------------------


def test_skip_index_and_reserved_keys_are_stored_but_not_indexed(db):
    meta = '{"_id":"y","colour":"red","id":"x","size":3,"tag":"t"}'
    db.add("item1", [0.1], meta, skip_index=["size", "tag"])
    db.add_batch(["item2", "item3"], [[0.2], [0.3]],
                 ['{"size":3,"tag":"t","colour":"red"}', '{"size":4}'], skip_index=["size"])
    assert db.get_all_items('{"_id":"item1"}') == [meta]
    assert db.count() == 3
    assert sorted(db.get_all_items('{"colour":"red"}')) == sorted(
        [meta, '{"colour":"red","size":3,"tag":"t"}'])
    # Skipped fields: the skip list holds for every item of the batch.
    assert db.get_all_items('{"size":3}') == []
    assert db.get_all_items('{"size":{"$gte":0}}') == []
    assert db.get_all_items('{"tag":"t"}') == ['{"colour":"red","size":3,"tag":"t"}']
    # "id" and "_id" in filters name the external id, never the metadata member.
    assert db.get_all_items('{"id":"x"}') == []
    assert db.get_all_items('{"_id":"y"}') == []
    assert db.get_all_items('{"id":"item1"}') == [meta]


def test_skip_index_applies_only_to_its_call(db):
    db.add("a", [0.1], '{"size":3}', skip_index=["size"])
    db.add("b", [0.2], '{"size":3}')
    assert db.get_all_items_json('{"size":3}') == '[{"size":3}]'
    assert [h[0] for h in db.search([0.1], 5, '{"size":3}')] == ["b"]


# ---- Expiry -----------------------------------------------------------------------------


def test_ttl_zero_hides_the_item_at_once(db):
    db.add("gone", [0.1, 0.1], '{"g":"x","p":1}', ttl=0)
    db.add("kept", [0.2, 0.2], '{"g":"x","p":2}')
    db.add_batch(["gone2"], [[0.1, 0.1]], ['{"g":"y","p":3}'], ttl=0)
    assert db.count() == 1
    assert db.exists('{"_id":"gone"}') is False
    assert db.exists('{"g":"y"}') is False
    assert db.get_all_items("{}") == ['{"g":"x","p":2}']
    assert db.get_all_items_json('{"g":"x"}') == '[{"g":"x","p":2}]'
    assert [h[0] for h in db.search([0.1, 0.1], 10)] == ["kept"]
    assert [h[0] for h in db.search([0.1, 0.1], 10, '{"g":"y"}')] == []
    assert '"gone' not in db.search_json([0.1, 0.1], 10)
    assert db.aggregate_unique("{}", "g", "p", ["p"]) == '[{"g":"x","p":2}]'


def test_ttl_zero_survives_a_later_sweep_as_hidden(db):
    db.add("gone", [0.1], "{}", ttl=0)
    db.add("other", [0.2], "{}")
    db.delete("nothing")
    db.persist()
    assert db.count() == 1
    assert [h[0] for h in db.search([0.1], 10)] == ["other"]


@pytest.mark.parametrize("ttl", [3600, 4_000_000_000, 2**32 - 1])
def test_long_ttl_keeps_the_item_visible(db, ttl):
    # A ttl beyond the 32-bit expiry second saturates instead of wrapping to "at once".
    db.add("a", [0.1], '{"x":1}', ttl=ttl)
    db.add_batch(["b"], [[0.2]], ['{"x":2}'], ttl=ttl)
    db.add("c", [0.3], "{}")  # its sweep must not touch them
    assert db.count() == 3
    assert [h[0] for h in db.search([0.1], 5)] == ["a", "b", "c"]
    assert db.exists('{"x":2}')


def test_delete_and_readd_clears_the_old_expiry(db):
    db.add("a", [0.1], "{}", ttl=0)
    db.delete("a")
    db.add("a", [0.1], '{"v":2}')
    assert db.search([0.1], 5) == [("a", 0.0, '{"v":2}')]
    db.add("a", [0.1], '{"v":3}', ttl=0)
    db.add("a", [0.1], '{"v":4}')
    assert db.search([0.1], 5) == [("a", 0.0, '{"v":4}')]
    assert db.count() == 1


# ---- One writer per directory -----------------------------------------------------------


def test_two_stores_of_one_directory_write_in_turn_and_follow_each_other(store_path):
    first = open_store(store_path)
    second = open_store(store_path)
    first.add("a", [0.1], '{"n":1}')
    # The second store takes on "a" before it writes: it must not overwrite its slot.
    second.add("b", [0.2], '{"n":2}')
    assert first.count() == 2 and second.count() == 2
    second.delete("a")
    assert first.get_all_items("{}") == ['{"n":2}']
    first.add_batch(["c", "d"], [[0.3], [0.4]], ['{"n":3}', '{"n":4}'])
    assert second.delete_by_filter('{"n":{"$gte":4}}') == 1
    first.persist()
    assert sorted(second.get_all_items("{}")) == ['{"n":2}', '{"n":3}']
    assert [h[0] for h in second.search([0.3], 5)] == ["c", "b"]
    second.vacuum()
    assert [h[0] for h in first.search([0.2], 5)] == ["b", "c"]
    first.add("e", [0.5], '{"n":5}')
    del first, second
    collect()
    third = open_store(store_path)
    assert [h[0] for h in third.search([0.1], 5)] == ["b", "c", "e"]
