"""Queries without a vector: count, exists, the listings, delete_by_filter and
prewarm_delete_path."""

import json

import pytest

from conftest import collect, file_size, open_store


def test_new_store_answers(db):
    assert db.count() == 0
    assert db.exists("{}") is False
    assert db.get_all_items("{}") == []
    assert db.get_all_items_json("{}") == "[]"
    assert db.delete_by_filter("{}") == 0
    assert db.prewarm_delete_path() is True
    assert db.prewarm_delete_path() is False


def test_listing_in_slot_order(db):
    db.add("x", [0.1], '{"a":1}')
    db.add("y", [0.2], '{"b":2}')
    db.add("z", [0.3], "{}")
    assert db.get_all_items_json("{}") == '[{"a":1},{"b":2},{}]'
    # Metadata only: the ids are not part of the result.
    assert db.get_all_items("{}") == ['{"a":1}', '{"b":2}', "{}"]
    assert db.get_all_items('{"b":2}') == ['{"b":2}']
    assert db.get_all_items_json('{"c":3}') == "[]"


def test_listing_follows_slots_not_insertion(db):
    db.add_batch(["a", "b", "c"], [[0.1], [0.2], [0.3]], ['{"n":1}', '{"n":2}', '{"n":3}'])
    db.delete("a")
    db.add("d", [0.4], '{"n":4}')
    texts = db.get_all_items("{}")
    assert sorted(texts) == ['{"n":2}', '{"n":3}', '{"n":4}']
    assert db.get_all_items_json("{}") == "[" + ",".join(texts) + "]"
    json.loads(db.get_all_items_json("{}"))


# The filter examples: which of the items p1, p7, none (added in that order) each selects.
FILTERS = [
    ("{}", ["p1", "p7", "none"]),
    ("[]", []),
    ('"x"', []),
    ("5", []),
    ("null", []),
    ('{"$and":[]}', ["p1", "p7", "none"]),
    ('{"$or":[]}', []),
    ('{"$not":{}}', []),
    ('{"$not":5}', ["p1", "p7", "none"]),
    ('{"p":{"$gte":5}}', ["p7", "none"]),
    ('{"p":{"$gt":4}}', ["p7"]),
    ('{"p":{"$ne":1}}', ["p7", "none"]),
    ('{"p":{"$gt":1,"$lt":8}}', ["p7"]),
    ('{"p":{"$in":[1,7]}}', ["p1", "p7"]),
    ('{"p":null}', []),
    ('{"p":[1,7]}', []),
    ('{"p":"7"}', []),
    ('{"q":{"$ne":1}}', []),
    ('{"_id":"p7"}', ["p7"]),
    ('{"id":{"$in":["p1","none"]}}', ["p1", "none"]),
    ('{"_id":5}', []),
    ('{"$or":[{"_id":"p1"},{"p":7}]}', ["p1", "p7"]),
    ('{"$unknown":1}', ["p1", "p7", "none"]),
    ('{"t":true}', ["p1"]),
    ('{"t":"true"}', ["p1"]),
]


@pytest.mark.parametrize("flt, selected", FILTERS, ids=[f for f, _ in FILTERS])
def test_filters_select_through_every_reader(db, flt, selected):
    metas = {"p1": '{"p":1,"t":true}', "p7": '{"p":7}', "none": '{"t":false}'}
    db.add_batch(list(metas), [[0.1], [0.2], [0.3]], list(metas.values()))
    expected = [metas[i] for i in selected]
    assert db.get_all_items(flt) == expected
    assert db.get_all_items_json(flt) == "[" + ",".join(expected) + "]"
    assert db.exists(flt) is bool(selected)
    assert [h[0] for h in db.search([0.0], 10, flt)] == selected
    assert db.delete_by_filter(flt) == len(selected)
    assert db.count() == 3 - len(selected)


def test_delete_by_filter_deletes_and_logs_each_item(db, store_path):
    db.add_batch(["a", "bb", "ccc", "d"], [[0.1], [0.2], [0.3], [0.4]],
                 ['{"k":"x"}', '{"k":"y"}', '{"k":"x"}', "{}"])
    wal = file_size(store_path, "wal.bin")
    assert db.delete_by_filter('{"k":"x"}') == 2
    # One delete record per item: 4 + 8 + the id's bytes.
    assert file_size(store_path, "wal.bin") == wal + (12 + len("a")) + (12 + len("ccc"))
    assert db.get_all_items("{}") == ['{"k":"y"}', "{}"]
    assert db.delete_by_filter('{"k":"x"}') == 0
    assert db.delete_by_filter("{}") == 2
    assert db.delete_by_filter("{}") == 0
    assert db.count() == 0
    assert db.search([0.1], 10) == []


def test_filter_deletes_survive_reopen(store_path):
    db = open_store(store_path)
    db.add_batch(["a", "b", "c"], [[0.1], [0.2], [0.3]], ['{"k":1}', '{"k":2}', '{"k":1}'])
    assert db.delete_by_filter('{"k":1}') == 2
    del db
    collect()
    db = open_store(store_path)
    assert db.count() == 1
    assert [h[0] for h in db.search([0.1], 5)] == ["b"]


def test_empty_external_id_is_counted_and_deleted(store_path):
    db = open_store(store_path)
    db.add("", [0.1], '{"k":"empty"}')
    db.add("x", [0.2], '{"k":"x"}')
    assert db.count() == 2
    assert db.search([0.1], 1)[0][:2] == ("", 0.0)
    db.delete("")
    assert db.count() == 1
    assert db.get_all_items("{}") == ['{"k":"x"}']
    db.add("", [0.3], '{"k":"empty"}')
    assert db.count() == 2
    assert db.delete_by_filter('{"k":"empty"}') == 1
    assert db.count() == 1
    del db
    collect()
    db = open_store(store_path)
    assert db.count() == 1
    assert db.get_all_items("{}") == ['{"k":"x"}']


def test_invalid_filter_deletes_nothing(db, store_path):
    db.add("a", [0.1], "{}")
    wal = file_size(store_path, "wal.bin")
    with pytest.raises(ValueError, match="^Invalid Filter: "):
        db.delete_by_filter("{not json")
    assert db.count() == 1
    assert file_size(store_path, "wal.bin") == wal


def test_expired_items_are_hidden_from_count_exists_and_listings(db):
    db.add("e", [0.1], '{"k":"gone"}', ttl=0)
    db.add("l", [0.2], '{"k":"here"}', ttl=3600)
    assert db.count() == 1
    assert db.exists('{"k":"gone"}') is False
    assert db.exists('{"k":"here"}') is True
    assert db.get_all_items("{}") == ['{"k":"here"}']
    assert db.get_all_items_json('{"k":"gone"}') == "[]"


def test_prewarm_after_deletions_keeps_deleting_correctly(db):
    db.add_batch(["v%d" % i for i in range(50)], [[i / 50.0] for i in range(50)],
                 ['{"i":%d}' % i for i in range(50)])
    for i in range(0, 50, 2):
        db.delete("v%d" % i)
    db.prewarm_delete_path()
    assert db.prewarm_delete_path() is False
    for i in range(1, 50, 4):
        db.delete("v%d" % i)
    # Reused slots carry the new items only.
    db.add_batch(["n%d" % i for i in range(10)], [[-i / 10.0] for i in range(10)],
                 ['{"kind":"new","n":%d}' % i for i in range(10)])
    live = {"v%d" % i for i in range(3, 50, 4)} | {"n%d" % i for i in range(10)}
    assert db.count() == len(live)
    assert {h[0] for h in db.search([0.0], 100)} == live
    assert len(db.get_all_items('{"kind":"new"}')) == 10
    assert len(db.get_all_items('{"i":{"$exists":true}}')) == len(live) - 10
