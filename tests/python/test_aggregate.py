"""aggregate_unique: one representative per group, by both strategies (string groups from
the index, everything else by reading the metadata)."""

import json

import pytest


def add_all(db, metas):
    """Adds the items in order, so item i lands in slot i of a fresh store."""
    db.add_batch(["i%d" % i for i in range(len(metas))], [[i / 100.0] for i in range(len(metas))],
                 metas)


def as_set(text):
    return sorted(json.dumps(o, sort_keys=True) for o in json.loads(text))


CPN = ['{"c":"a","p":5,"n":"x"}', '{"c":"a","p":9,"n":"y"}', '{"c":"b","p":7,"n":"z"}']


def test_indexed_strategy_examples(db):
    add_all(db, CPN)
    assert db.aggregate_unique("{}", "c", "p", ["n"]) == '[{"c":"a","n":"y"},{"c":"b","n":"z"}]'
    assert db.aggregate_unique("{}", "c", "p", ["n"], descending=False) == (
        '[{"c":"a","n":"x"},{"c":"b","n":"z"}]')
    # The sort field appears only when asked for; members come out in key order.
    assert db.aggregate_unique("{}", "c", "p", ["p", "n"]) == (
        '[{"c":"a","n":"y","p":9},{"c":"b","n":"z","p":7}]')
    # The filter narrows the candidates before groups are formed.
    assert db.aggregate_unique('{"p":{"$lt":9}}', "c", "p", ["n"]) == (
        '[{"c":"b","n":"z"},{"c":"a","n":"x"}]')


def test_sort_by_id_picks_by_slot(db):
    add_all(db, CPN + ['{"c":"b","p":1,"n":"w"}'])
    assert as_set(db.aggregate_unique("{}", "c", "_id", ["n"])) == as_set(
        '[{"c":"a","n":"y"},{"c":"b","n":"w"}]')
    assert as_set(db.aggregate_unique("{}", "c", "id", ["n"], False)) == as_set(
        '[{"c":"a","n":"x"},{"c":"b","n":"z"}]')


def test_indexed_sort_field_without_numbers_picks_the_largest_slot(db):
    add_all(db, ['{"c":"a","s":"zz","n":1}', '{"c":"a","s":"aa","n":2}',
                 '{"c":"b","s":"m","n":3}'])
    for descending in (True, False):
        assert as_set(db.aggregate_unique("{}", "c", "s", ["n"], descending)) == as_set(
            '[{"c":"a","n":2},{"c":"b","n":3}]')


def test_indexed_group_without_any_sort_number_is_dropped(db):
    add_all(db, ['{"c":"a","p":1}', '{"c":"b"}', '{"c":"b","p":"high"}'])
    assert db.aggregate_unique("{}", "c", "p", []) == '[{"c":"a"}]'


def test_indexed_groups_are_the_indexed_texts(db):
    add_all(db, ['{"g":true,"p":1}', '{"g":false,"p":2}', '{"g":["x","y"],"p":3}',
                 '{"g":"x","p":4}', '{"g":5,"p":9}', '{"p":10}'])
    # Booleans group as their text and keep their own value; an array joins every group
    # it holds; numbers and missing members are in no group.
    assert db.aggregate_unique("{}", "g", "p", ["p"]) == (
        '[{"g":"x","p":4},{"g":["x","y"],"p":3},{"g":false,"p":2},{"g":true,"p":1}]')


@pytest.mark.parametrize("descending", [True, False])
@pytest.mark.parametrize(
    "metas",
    [
        # string groups: the index decides
        ['{"g":"a","p":2,"n":0}', '{"g":"a","p":2,"n":1}', '{"g":"a","p":1,"n":2}',
         '{"g":"a","p":3,"n":3}', '{"g":"a","p":3,"n":4}'],
        # numeric groups: the metadata is scanned
        ['{"g":7,"p":2,"n":0}', '{"g":7,"p":2,"n":1}', '{"g":7,"p":1,"n":2}',
         '{"g":7,"p":3,"n":3}', '{"g":7,"p":3,"n":4}'],
    ],
    ids=["indexed", "scanning"],
)
def test_equal_sort_values_pick_the_smaller_slot(db, metas, descending):
    add_all(db, metas)
    text = db.aggregate_unique("{}", "g", "p", ["n", "p"], descending)
    [row] = json.loads(text)
    assert (row["p"], row["n"]) == ((3, 3) if descending else (1, 2))


def test_scanning_strategy_examples(db):
    add_all(db, ['{"g":3,"p":1}', '{"g":3,"p":2}'])
    # The group member is written as the number's text, unless listed as an output field.
    assert db.aggregate_unique("{}", "g", "p", []) == '[{"g":"3"}]'
    assert db.aggregate_unique("{}", "g", "p", ["p"]) == '[{"g":"3","p":2}]'
    assert db.aggregate_unique("{}", "g", "p", ["p"], False) == '[{"g":"3","p":1}]'
    assert db.aggregate_unique("{}", "g", "p", ["g", "p"]) == '[{"g":3,"p":2}]'


def test_scanning_distinct_number_texts(db):
    add_all(db, ['{"g":1,"p":5}', '{"g":1.0,"p":6}', '{"g":2,"p":1}', '{"g":2,"p":8}',
                 '{"g":null,"p":100}', '{"g":[1],"p":100}', '{"g":{"x":1},"p":100}', "{}"])
    assert db.aggregate_unique("{}", "g", "p", ["p"]) == (
        '[{"g":"2","p":8},{"g":"1.0","p":6},{"g":"1","p":5}]')
    assert db.aggregate_unique("{}", "g", "p", ["p"], False) == (
        '[{"g":"2","p":1},{"g":"1","p":5},{"g":"1.0","p":6}]')


def test_scanning_string_sort_values_choose_bytewise(db):
    add_all(db, ['{"g":1,"s":"b","n":0}', '{"g":1,"s":"c","n":1}', '{"g":1,"s":"a","n":2}',
                 '{"g":2,"s":"B","n":3}', '{"g":2,"s":"\u00e9","n":4}'])
    assert as_set(db.aggregate_unique("{}", "g", "s", ["n"])) == as_set(
        '[{"g":"1","n":1},{"g":"2","n":4}]')
    assert as_set(db.aggregate_unique("{}", "g", "s", ["n"], False)) == as_set(
        '[{"g":"1","n":2},{"g":"2","n":3}]')


def test_scanning_first_item_without_a_comparable_sort_value_keeps_its_group(db):
    add_all(db, ['{"g":1,"n":0}', '{"g":1,"p":9,"n":1}', '{"g":2,"p":"x","n":2}',
                 '{"g":2,"p":5,"n":3}'])
    assert as_set(db.aggregate_unique("{}", "g", "p", ["n"])) == as_set(
        '[{"g":"1","n":0},{"g":"2","n":2}]')


def test_missing_output_fields_are_left_out(db):
    add_all(db, ['{"c":"a","p":1,"x":"has"}', '{"c":"b","p":2}'])
    assert db.aggregate_unique("{}", "c", "p", ["x", "nope"], False) == (
        '[{"c":"a","x":"has"},{"c":"b"}]')


@pytest.mark.parametrize("group", ["c", "n"])
def test_nothing_to_aggregate(db, group):
    assert db.aggregate_unique("{}", group, "p", []) == "[]"
    add_all(db, ['{"c":"a","n":1,"p":1}'])
    assert db.aggregate_unique('{"c":"zzz"}', group, "p", []) == "[]"
    assert db.aggregate_unique("{}", "unknown", "p", []) == "[]"
    db.add("exp", [0.5], '{"c":"e","n":2,"p":2}', ttl=0)
    assert db.aggregate_unique('{"p":2}', group, "p", []) == "[]"
    assert json.loads(db.aggregate_unique("{}", group, "p", [])) == [
        {"c": "a"} if group == "c" else {"n": "1"}]


def test_deleted_items_do_not_represent_groups(db):
    add_all(db, CPN)
    db.delete("i1")
    assert db.aggregate_unique("{}", "c", "p", ["n"]) == '[{"c":"b","n":"z"},{"c":"a","n":"x"}]'
    db.delete_by_filter('{"c":"b"}')
    assert db.aggregate_unique("{}", "c", "p", ["n"]) == '[{"c":"a","n":"x"}]'
