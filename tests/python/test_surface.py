"""The module's public face: names, signatures, docstrings, argument conversions and the
exception classes callers can rely on."""

import inspect

import pytest

import tarnix
from conftest import IS_PYPY, file_size, open_store

cpython_only = pytest.mark.skipif(
    IS_PYPY, reason="PyPy reports method docstrings and text signatures as None"
)

SIGNATURES = {
    "add": "($self, id, vector, metadata, skip_index=None, ttl=None)",
    "add_batch": "($self, ids, vectors, metadatas, skip_index=None, ttl=None)",
    "search": "($self, vector, k, filter_json=None, load_metadata=True)",
    "search_json": "($self, vector, k, filter_json=None)",
    "exists": "($self, filter_json)",
    "count": "($self)",
    "delete": "($self, id)",
    "delete_by_filter": "($self, filter_json)",
    "get_all_items": "($self, filter_json)",
    "get_all_items_json": "($self, filter_json)",
    "stream_pca_3d": (
        "($self, batch_size=512, wait_for_latest=False, timeout_ms=0, force_refresh=False, "
        "filter_json=None)"
    ),
    "aggregate_unique": (
        "($self, filter_json, group_by_field, sort_by_field, output_fields, descending=True)"
    ),
    "persist": "($self)",
    "prewarm_delete_path": "($self)",
}

DOCSTRINGS = {
    "get_all_items": (
        "Retrieves all items (metadata) matching the specific filter.\n"
        "This avoids performing a vector search when only metadata filtering is required."
    ),
    "get_all_items_json": (
        "Retrieves all items as a single JSON array string to reduce Python object churn."
    ),
    "aggregate_unique": "Aggregates unique items based on a grouping field.",
}


def test_module_adds_exactly_the_two_classes_in_order():
    public = [name for name in vars(tarnix) if not name.startswith("__")]
    assert public == ["TarnDB", "Pca3DStream"]
    assert isinstance(tarnix.TarnDB, type)
    assert isinstance(tarnix.Pca3DStream, type)


@cpython_only
def test_class_text_signature():
    assert tarnix.TarnDB.__text_signature__ == "(storage_path, pca_enabled=True)"


@cpython_only
@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_text_signature_and_docstring(name):
    method = getattr(tarnix.TarnDB, name)
    assert method.__text_signature__ == SIGNATURES[name]
    assert method.__doc__ == DOCSTRINGS.get(name)


@cpython_only
def test_inspect_reads_the_signatures():
    sig = inspect.signature(tarnix.TarnDB.add)
    assert list(sig.parameters) == ["self", "id", "vector", "metadata", "skip_index", "ttl"]
    assert sig.parameters["ttl"].default is None
    assert str(inspect.signature(tarnix.TarnDB.aggregate_unique).parameters["descending"]) == (
        "descending=True"
    )


def test_every_method_exists():
    for name in SIGNATURES:
        assert callable(getattr(tarnix.TarnDB, name)), name


def test_pca_stream_cannot_be_constructed():
    with pytest.raises(TypeError):
        tarnix.Pca3DStream()
    with pytest.raises(TypeError):
        tarnix.Pca3DStream.__new__(tarnix.Pca3DStream)


def test_constructor_accepts_positional_and_keyword(tmp_path):
    a = tarnix.TarnDB(str(tmp_path / "a"))
    b = tarnix.TarnDB(str(tmp_path / "b"), True)
    c = tarnix.TarnDB(storage_path=str(tmp_path / "c"), pca_enabled=False)
    for store in (a, b, c):
        assert store.count() == 0


@pytest.mark.parametrize(
    "kwargs, argname",
    [
        ({"pca_enabled": 1}, "pca_enabled"),
        ({"pca_enabled": 0}, "pca_enabled"),
        ({"pca_enabled": None}, "pca_enabled"),
        ({"pca_enabled": "yes"}, "pca_enabled"),
    ],
)
def test_constructor_bool_is_strict(tmp_path, kwargs, argname):
    with pytest.raises(TypeError, match=argname):
        tarnix.TarnDB(str(tmp_path / "s"), **kwargs)


@pytest.mark.parametrize("path", [5, None, b"bytes/path"])
def test_constructor_path_must_be_str(path):
    with pytest.raises(TypeError, match="storage_path"):
        tarnix.TarnDB(path)


def test_ints_are_accepted_as_floats(db):
    db.add("a", [1, -1, 0], "{}")
    hits = db.search([1.0, -1.0, 0.0], 1)
    assert hits == [("a", 0.0, "{}")]


def test_any_sequence_is_a_vector(db):
    db.add("t", (0.5, 0.25), "{}")
    db.add_batch(("u",), ((0.5, -0.25),), ("{}",))
    assert db.count() == 2
    assert db.search((0.5, 0.25), 1)[0][0] == "t"


# (method, args, kwargs, exception, argument named in the message)
CONVERSION_FAILURES = [
    ("add", ("a", "abc", "{}"), {}, TypeError, "vector"),
    ("add", ("a", [0.1, "x"], "{}"), {}, TypeError, "vector"),
    ("add", ("a", 5, "{}"), {}, TypeError, "vector"),
    ("add", (5, [0.1], "{}"), {}, TypeError, "id"),
    ("add", ("a", [0.1], {}), {}, TypeError, "metadata"),
    ("add", ("a", [0.1], "{}"), {"skip_index": "abc"}, TypeError, "skip_index"),
    ("add", ("a", [0.1], "{}"), {"skip_index": [1]}, TypeError, "skip_index"),
    ("add", ("a", [0.1], "{}"), {"ttl": -1}, OverflowError, "ttl"),
    ("add", ("a", [0.1], "{}"), {"ttl": 2**32}, OverflowError, "ttl"),
    ("add", ("a", [0.1], "{}"), {"ttl": 2**70}, OverflowError, "ttl"),
    ("add", ("a", [0.1], "{}"), {"ttl": 1.5}, TypeError, "ttl"),
    ("add", ("a", [0.1], "{}"), {"ttl": "3"}, TypeError, "ttl"),
    ("add_batch", (["a"], ["ab"], ["{}"]), {}, TypeError, "vectors"),
    ("add_batch", ("a", [[0.1]], ["{}"]), {}, TypeError, "ids"),
    ("add_batch", (["a"], [[0.1]], "{}"), {}, TypeError, "metadatas"),
    ("add_batch", (["a"], [[0.1]], ["{}"]), {"ttl": -1}, OverflowError, "ttl"),
    ("search", ([0.1], -1), {}, OverflowError, "k"),
    ("search", ([0.1], 2**32), {}, OverflowError, "k"),
    ("search", ([0.1], 1.5), {}, TypeError, "k"),
    ("search", ([0.1], "3"), {}, TypeError, "k"),
    ("search", ("ab", 3), {}, TypeError, "vector"),
    ("search", ([0.1], 3), {"filter_json": 5}, TypeError, "filter_json"),
    ("search", ([0.1], 3), {"load_metadata": 1}, TypeError, "load_metadata"),
    ("search", ([0.1], 3), {"load_metadata": None}, TypeError, "load_metadata"),
    ("search_json", ([0.1], -1), {}, OverflowError, "k"),
    ("search_json", ([0.1], 3), {"filter_json": b"{}"}, TypeError, "filter_json"),
    ("exists", (None,), {}, TypeError, "filter_json"),
    ("delete", (None,), {}, TypeError, "id"),
    ("delete_by_filter", (5,), {}, TypeError, "filter_json"),
    ("get_all_items", (5,), {}, TypeError, "filter_json"),
    ("get_all_items_json", (5,), {}, TypeError, "filter_json"),
    ("stream_pca_3d", (-1,), {}, OverflowError, "batch_size"),
    ("stream_pca_3d", (2**32,), {}, OverflowError, "batch_size"),
    ("stream_pca_3d", ("3",), {}, TypeError, "batch_size"),
    ("stream_pca_3d", (), {"wait_for_latest": 1}, TypeError, "wait_for_latest"),
    ("stream_pca_3d", (), {"timeout_ms": -1}, OverflowError, "timeout_ms"),
    ("stream_pca_3d", (), {"timeout_ms": 2**64}, OverflowError, "timeout_ms"),
    ("stream_pca_3d", (), {"timeout_ms": 0.5}, TypeError, "timeout_ms"),
    ("stream_pca_3d", (), {"force_refresh": None}, TypeError, "force_refresh"),
    ("stream_pca_3d", (), {"filter_json": 5}, TypeError, "filter_json"),
    ("aggregate_unique", ("{}", 1, "p", []), {}, TypeError, "group_by_field"),
    ("aggregate_unique", ("{}", "g", "p", "n"), {}, TypeError, "output_fields"),
    ("aggregate_unique", ("{}", "g", "p", []), {"descending": 0}, TypeError, "descending"),
]


@pytest.mark.parametrize(
    "method, args, kwargs, exc, argname",
    CONVERSION_FAILURES,
    ids=[f"{m}-{a}" for m, _, _, _, a in CONVERSION_FAILURES],
)
def test_conversion_failures_name_the_argument_and_write_nothing(
    db, store_path, method, args, kwargs, exc, argname
):
    db.add("keep", [0.5], '{"k":1}')
    wal_before = file_size(store_path, "wal.bin")
    with pytest.raises(exc) as info:
        getattr(db, method)(*args, **kwargs)
    assert argname in str(info.value)
    assert file_size(store_path, "wal.bin") == wal_before
    assert db.get_all_items("{}") == ['{"k":1}']


def test_u32_bounds_are_inclusive(db):
    db.add("a", [0.1], "{}", ttl=2**32 - 1)
    db.add("b", [0.2], "{}", ttl=0)
    assert [h[0] for h in db.search([0.1], 2**32 - 1)] == ["a"]
    assert db.search([0.1], 0) == []


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.count(1),
        lambda d: d.persist(None),
        lambda d: d.prewarm_delete_path(True),
        lambda d: d.add("a", [0.1]),
        lambda d: d.add("a", [0.1], "{}", None, None, None),
        lambda d: d.add("a", [0.1], "{}", colour="red"),
        lambda d: d.search([0.1]),
        lambda d: d.exists(),
        lambda d: d.exists("{}", filter_json="{}"),
    ],
)
def test_missing_surplus_and_unknown_arguments(db, call):
    with pytest.raises(TypeError):
        call(db)


def test_keywords_work_for_every_parameter(db):
    db.add(id="a", vector=[0.1, 0.2], metadata='{"g":"x","p":1}', skip_index=None, ttl=None)
    db.add_batch(ids=["b"], vectors=[[0.3, 0.4]], metadatas=['{"g":"y","p":2}'],
                 skip_index=["other"], ttl=100)
    assert db.search(vector=[0.1, 0.2], k=1, filter_json=None, load_metadata=False) == [
        ("a", 0.0, "")
    ]
    assert db.search_json(vector=[0.1, 0.2], k=1, filter_json='{"g":"x"}').startswith('[{"id":"a"')
    assert db.exists(filter_json='{"g":"y"}') is True
    assert db.get_all_items(filter_json='{"g":"x"}') == ['{"g":"x","p":1}']
    assert db.get_all_items_json(filter_json='{"g":"y"}') == '[{"g":"y","p":2}]'
    assert db.aggregate_unique(filter_json="{}", group_by_field="g", sort_by_field="p",
                               output_fields=[], descending=False) == '[{"g":"x"},{"g":"y"}]'
    assert db.delete_by_filter(filter_json='{"g":"y"}') == 1
    assert db.delete(id="a") is None
    assert db.count() == 0
    assert list(db.stream_pca_3d(batch_size=1, wait_for_latest=False, timeout_ms=0,
                                 force_refresh=False, filter_json=None)) == []


def test_result_shapes(db):
    db.add("a", [0.1], '{"x":1}')
    hits = db.search([0.1], 5)
    assert isinstance(hits, list) and len(hits) == 1
    ident, score, meta = hits[0]
    assert type(hits[0]) is tuple
    assert (type(ident), type(score), type(meta)) == (str, float, str)
    assert type(db.search_json([0.1], 5)) is str
    assert type(db.count()) is int
    assert db.exists("{}") is True and db.exists('{"x":2}') is False
    assert type(db.delete_by_filter('{"x":2}')) is int
    assert db.persist() is None
    assert db.add("b", [0.2], "{}") is None
    assert db.add_batch(["c"], [[0.3]], ["{}"]) is None
    assert db.delete("zzz") is None
    assert type(db.stream_pca_3d()) is tarnix.Pca3DStream


@pytest.mark.parametrize("text", ["[1]", "not json", "", "1", "null", '"x"', '{"a":1', "{} {}"])
def test_invalid_metadata_is_a_value_error(db, store_path, text):
    with pytest.raises(ValueError) as info:
        db.add("a", [0.1], text)
    assert type(info.value) is ValueError
    assert str(info.value).startswith("Invalid JSON: ")
    assert file_size(store_path, "wal.bin") == 0
    assert db.count() == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.exists("{a:1}"),
        lambda d: d.get_all_items("{a:1}"),
        lambda d: d.get_all_items_json("{a:1}"),
        lambda d: d.delete_by_filter("{a:1}"),
        lambda d: d.aggregate_unique("{a:1}", "g", "p", []),
        lambda d: d.search([0.1], 3, "{a:1}"),
        lambda d: d.search_json([0.1], 3, ""),
    ],
)
def test_invalid_filter_is_a_value_error(db, call):
    db.add("a", [0.1], '{"a":1}')
    with pytest.raises(ValueError) as info:
        call(db)
    assert type(info.value) is ValueError
    assert str(info.value).startswith("Invalid Filter: ")
    assert db.count() == 1


def test_non_ascii_text_round_trips(db):
    ident = "ключ-☃-\U0001f600"
    db.add(ident, [0.3], '{"name":"h\u00e9llo \u2603"}')
    assert db.search([0.3], 1) == [(ident, 0.0, '{"name":"h\u00e9llo \u2603"}')]
    assert db.exists('{"_id":"%s"}' % ident)


def test_ids_with_nul_are_distinct(db):
    db.add("a\0b", [0.1], '{"k":"x\\u0000y"}')
    db.add("a", [0.2], "{}")
    assert db.count() == 2
    assert db.search([0.1], 1) == [("a\0b", 0.0, '{"k":"x\\u0000y"}')]
    assert db.get_all_items('{"_id":"a\\u0000b"}') == ['{"k":"x\\u0000y"}']
    db.delete("a")
    assert [h[0] for h in db.search([0.1], 5)] == ["a\0b"]


def test_unencodable_str_is_refused_cleanly(db):
    # A lone surrogate has no UTF-8 form.
    with pytest.raises(UnicodeEncodeError):
        db.add("\ud800", [0.1], "{}")
    assert db.count() == 0


def test_stores_are_independent(tmp_path):
    a = open_store(tmp_path / "a")
    b = open_store(tmp_path / "b")
    a.add("x", [0.1], "{}")
    assert (a.count(), b.count()) == (1, 0)
