"""A model of what a store holds, and a verifier that compares an open store with it.

The model keeps the acknowledged state as a dict id -> Item and answers the questions a
store answers (exact nearest neighbours over the byte codes, filters) by brute force, written
from the documented rules rather than from the implementation:

- vectors are quantized per component: clamp to [-1, 1], (x + 1) * 127.5 in 32-bit floats,
  truncated; NaN gives 0;
- distances are sums of squared byte differences; ties go to the smaller slot, which Python
  cannot see, so results are compared by distance and by id only where the distance decides;
- numbers in metadata are compared as 32-bit floats through their order code; booleans are
  indexed as the strings "true"/"false"; an array of numbers keeps only its last number;
- "$ne" and "$gte" also select items without a number for the field, once the field has a
  numeric index at all (and a field keeps it for good, even after its items are gone).

`verify` reads a store through its public methods only.
"""

import json
import math
import random
import struct

ID_FIELDS = ("id", "_id")


# ---------------------------------------------------------------------------------------
# Quantization and distance.


def f32(x):
    """x rounded to the nearest 32-bit float (infinite beyond the range)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def code(x):
    """The stored byte of one vector component."""
    x = f32(x)
    if math.isnan(x):
        return 0
    if x < -1.0:
        x = -1.0
    if x > 1.0:
        x = 1.0
    y = f32(f32(x + 1.0) * 127.5)
    if y < 0:
        return 0
    if y > 255:
        return 255
    return int(y)


def codes(vector):
    return bytes(code(x) for x in vector)


def distance(a, b):
    return sum((x - y) * (x - y) for x, y in zip(a, b))


# ---------------------------------------------------------------------------------------
# Metadata values as the secondary indexes see them.


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def order_code(x):
    """The unsigned 32-bit code whose order is the numeric order of 32-bit floats."""
    (b,) = struct.unpack("<I", struct.pack("<f", x))
    return (~b & 0xFFFFFFFF) if b & 0x80000000 else b ^ 0x80000000


def number_code(v):
    """Order code of a JSON number, converted to a 32-bit float first."""
    return order_code(f32(float(v)))


def string_texts(v):
    """The texts under which a value is found by string equality."""
    if isinstance(v, bool):
        return {"true" if v else "false"}
    if isinstance(v, str):
        return {v}
    if isinstance(v, list):
        out = set()
        for e in v:
            out |= string_texts(e)
        return out
    return set()


def numeric_code(v):
    """The order code a value leaves in the numeric index: the last number it holds."""
    if is_number(v):
        x = f32(float(v))
        return None if math.isnan(x) else order_code(x)
    if isinstance(v, list):
        last = None
        for e in v:
            c = numeric_code(e)
            if c is not None:
                last = c
        return last
    return None


def has_number(v):
    if is_number(v):
        return True
    return isinstance(v, list) and any(has_number(e) for e in v)


class Item:
    __slots__ = ("id", "vector", "codes", "meta", "skip", "ttl")

    def __init__(self, id, vector, meta, skip=(), ttl=None):
        self.id = id
        self.vector = list(vector)
        self.codes = codes(vector)
        self.meta = meta
        self.skip = tuple(skip or ())
        self.ttl = ttl

    def indexed(self, field):
        """The item's value for an indexed field, or None when the field is not indexed."""
        if field in ID_FIELDS or field in self.skip:
            return None
        return self.meta.get(field)

    def texts(self, field):
        v = self.indexed(field)
        return string_texts(v) if v is not None else set()

    def num(self, field):
        v = self.indexed(field)
        return numeric_code(v) if v is not None else None


def canonical(meta):
    """A text that equals for equal metadata objects, for multiset comparisons."""
    return json.dumps(meta, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


# ---------------------------------------------------------------------------------------
# The model.


def apply_op(target, op):
    """Runs one operation of the crash writer's plan on a store or on the model:
    ["add", id, vector, metadata, ttl], ["batch", ids, vectors, metadatas], ["del", id],
    ["dbf", filter], ["persist"], ["vacuum"]."""
    kind = op[0]
    if kind == "add":
        target.add(op[1], op[2], op[3], None, op[4])
    elif kind == "batch":
        target.add_batch(op[1], op[2], op[3])
    elif kind == "del":
        target.delete(op[1])
    elif kind == "dbf":
        target.delete_by_filter(op[1])
    elif kind == "persist":
        target.persist()
    elif kind == "vacuum":
        target.vacuum()
    else:
        raise ValueError("unknown operation %r" % (kind,))


class StoreModel:
    def __init__(self):
        self.items = {}
        # Fields that got a numeric index; they keep it for good.
        self.num_fields = set()
        self.dim = None

    def copy(self):
        m = StoreModel()
        m.items = dict(self.items)
        m.num_fields = set(self.num_fields)
        m.dim = self.dim
        return m

    # ---- Writes, as acknowledged calls apply them. ----

    def add(self, id, vector, meta, skip=None, ttl=None):
        if isinstance(meta, str):
            meta = json.loads(meta)
        item = Item(id, vector, meta, skip, ttl)
        if self.dim is None:
            self.dim = len(vector)
        self.items[id] = item
        for field, value in meta.items():
            if item.indexed(field) is not None and has_number(value):
                self.num_fields.add(field)

    def add_batch(self, ids, vectors, metas, skip=None, ttl=None):
        for id, v, m in zip(ids, vectors, metas):
            self.add(id, v, m, skip, ttl)

    def delete(self, id):
        self.items.pop(id, None)

    def delete_by_filter(self, filt):
        if isinstance(filt, str):
            filt = json.loads(filt)
        victims = self.evaluate(filt)
        for id in victims:
            del self.items[id]
        return len(victims)

    def persist(self):
        """Durability is not part of the model: a persist changes no visible state."""

    def vacuum(self):
        """Compaction changes no visible state either."""

    def apply(self, op):
        """Applies one operation in the crash writer's encoding (see crash_writer.py)."""
        apply_op(self, op)

    def outcomes(self, op):
        """Every state an interrupted operation may leave: none of it, all of it, and for
        operations that log several records, a prefix of them (in batch order for a batch;
        a filter delete logs in slot order, which is not visible, so any subset of its
        victims is accepted there)."""
        kind = op[0]
        yield self.copy()
        if kind == "batch":
            for j in range(1, len(op[1]) + 1):
                m = self.copy()
                m.add_batch(op[1][:j], op[2][:j], op[3][:j])
                yield m
        elif kind not in ("persist", "vacuum", "dbf"):
            m = self.copy()
            m.apply(op)
            yield m

    # ---- Queries. ----

    def live_metas(self):
        return sorted(canonical(it.meta) for it in self.items.values())

    def nearest(self, query, ids=None):
        """Every item (or those of `ids`) as (distance, id), nearest first."""
        q = codes(query)
        pool = self.items.values() if ids is None else (self.items[i] for i in ids)
        scored = sorted((distance(q, it.codes), it.id) for it in pool)
        return scored

    # ---- Filters, from the documented evaluation rules. ----

    def universe(self):
        return set(self.items)

    def evaluate(self, f):
        if not isinstance(f, dict):
            return set()
        if isinstance(f.get("$and"), list):
            running = self.universe()
            for e in f["$and"]:
                running &= self.evaluate(e)
            return running
        if isinstance(f.get("$or"), list):
            out = set()
            for e in f["$or"]:
                out |= self.evaluate(e)
            return out
        if "$not" in f:
            return self.universe() - self.evaluate(f["$not"])
        running = self.universe()
        for key, value in f.items():
            if key.startswith("$"):
                continue
            running &= self.field_condition(key, value)
        return running

    def field_condition(self, field, value):
        if isinstance(value, (str, bool)):
            return self.str_eq(field, value)
        if is_number(value):
            return self.numeric(field, value, "$eq")
        if not isinstance(value, dict):
            return set()
        running = self.universe()
        for op, arg in value.items():
            running &= self.operator(field, op, arg)
        return running

    def operator(self, field, op, arg):
        if op in ("$eq", "$ne"):
            if is_number(arg):
                return self.numeric(field, arg, op)
            eq = self.str_eq(field, arg)
            return eq if op == "$eq" else self.universe() - eq
        if op in ("$gt", "$gte", "$lt", "$lte"):
            return self.numeric(field, arg, op) if is_number(arg) else set()
        if op in ("$in", "$nin"):
            if not isinstance(arg, list):
                return set() if op == "$in" else self.universe()
            union = set()
            for e in arg:
                union |= self.field_condition(field, e)
            return union if op == "$in" else self.universe() - union
        if op == "$exists":
            have = self.with_field(field)
            return self.universe() - have if arg is False else have
        return set()

    def str_eq(self, field, value):
        if isinstance(value, bool):
            text = "true" if value else "false"
        elif isinstance(value, str):
            text = value
        else:
            return set()
        if field in ID_FIELDS:
            return {text} if text in self.items else set()
        return {i for i, it in self.items.items() if text in it.texts(field)}

    def numeric(self, field, value, op):
        if field not in self.num_fields:
            return set()
        c = number_code(value)
        out = set()
        for i, it in self.items.items():
            n = it.num(field)
            if op == "$eq":
                ok = n is not None and n == c
            elif op == "$ne":
                ok = n is None or n != c
            elif op == "$gt":
                ok = n is not None and n > c
            elif op == "$gte":
                ok = n is None or n >= c
            elif op == "$lt":
                ok = n is not None and n < c
            elif op == "$lte":
                ok = n is not None and n <= c
            else:
                ok = False
            if ok:
                out.add(i)
        return out

    def with_field(self, field):
        if field in ID_FIELDS:
            return self.universe()
        return {i for i, it in self.items.items() if it.texts(field) or it.num(field) is not None}


# ---------------------------------------------------------------------------------------
# Search planning: whether a search is an exact scan (then its result is fully determined).


# The plan's estimates of what one walked node and one code of a streamed span cost, in
# scanned codes (search.cpp).
WALK_NODE_COST = 40.0
SPAN_CODE_COST = 0.5


def search_width(k, live):
    ef = k + 200
    if live >= 20000:
        ef = max(ef, k + 512)
    if live >= 100000:
        ef = max(ef, k + 768)
    if live >= 300000:
        ef = max(ef, k + 1024)
    return ef


def filtered_width(k, width, live, matches):
    floor = min(k + 200, width)
    if live == 0 or matches >= live:
        return max(floor, width)
    return max(floor, k, math.ceil(width * matches / live))


def search_is_exact(live, k, filter_count=None):
    """filter_count: the live, unexpired items the filter admits (None: no filter)."""
    ef = search_width(k, live)
    if filter_count is None:
        if k <= 20:
            return live <= 50000 or live // 4 < ef
        return live // 4 < ef
    if filter_count == 0:
        return True
    ef = filtered_width(k, ef, live, filter_count)
    scan = min(float(filter_count), float(live) * SPAN_CODE_COST)
    cheaper = scan <= float(ef) * float(live) / float(filter_count) * WALK_NODE_COST
    return cheaper or filter_count < live // 20 or live // 4 < ef


# ---------------------------------------------------------------------------------------
# Verification.


class Mismatch(AssertionError):
    pass


def _check(cond, message, *args):
    if not cond:
        raise Mismatch(message % args if args else message)


def check_search(model, results, query, k, ids=None, what="search"):
    """Compares one exact search with the brute force over `ids` (all items when None)."""
    q = codes(query)
    scored = model.nearest(query, ids)
    expected = scored[:k]
    _check(len(results) == len(expected), "%s: %d results, expected %d (k=%d)",
           what, len(results), len(expected), k)
    got_ids = [r[0] for r in results]
    _check(len(set(got_ids)) == len(got_ids), "%s returned an id twice: %r", what, got_ids)
    allowed = set(model.items) if ids is None else set(ids)
    for rid, score, _ in results:
        _check(rid in allowed, "%s returned %r, which should not be there", what, rid)
        _check(score == float(distance(q, model.items[rid].codes)),
               "%s: score %r of %r is not its distance %r", what, score, rid,
               distance(q, model.items[rid].codes))
    _check([r[1] for r in results] == [float(d) for d, _ in expected],
           "%s: distances %r, expected %r", what, [r[1] for r in results],
           [d for d, _ in expected])
    if expected:
        cut = expected[-1][0]
        must = {i for d, i in scored if d < cut}
        _check(must <= set(got_ids), "%s misses %r", what, must - set(got_ids))


def observed_items(db):
    """id -> metadata dict of every live item of a store whose metadata carries its id."""
    out = {}
    for text in db.get_all_items("{}"):
        meta = json.loads(text)
        out[meta.get("id")] = meta
    return out


def resolve(db, model, op):
    """The state an interrupted operation left: one of model.outcomes(op), chosen by what the
    store shows. Needs workloads whose metadata carries the item's id ("id") and differs for
    every write."""
    seen = observed_items(db)
    seen_c = {i: canonical(m) for i, m in seen.items()}
    if op[0] == "dbf":
        victims = model.evaluate(json.loads(op[1]))
        m = model.copy()
        for i in victims:
            if i not in seen:
                del m.items[i]
        if {i: canonical(it.meta) for i, it in m.items.items()} == seen_c:
            return m
        raise Mismatch("interrupted delete_by_filter left an impossible state: missing %r, "
                       "unexpected %r" % (sorted(set(m.items) - set(seen)),
                                          sorted(set(seen) - set(m.items))))
    for m in model.outcomes(op):
        if {i: canonical(it.meta) for i, it in m.items.items()} == seen_c:
            return m
    after = list(model.outcomes(op))[-1]
    raise Mismatch("interrupted %s left a state that is neither before nor after it: "
                   "missing %r, unexpected %r, changed %r" % (
                       op[0], sorted(set(after.items) - set(seen)),
                       sorted(set(seen) - set(after.items) - set(model.items)),
                       sorted(i for i in seen if i in after.items
                              and canonical(after.items[i].meta) != seen_c[i]
                              and (i not in model.items
                                   or canonical(model.items[i].meta) != seen_c[i]))))


def verify(db, model, indeterminate=None, rng=None, filters=(), queries=4, per_item=True):
    """Checks an open store against the model and returns the model it matched.

    `indeterminate` is an operation that was in flight when the writer died: it may have
    taken effect fully, not at all, or (for multi-record operations) in part; the returned
    model is the outcome the store shows. `filters` are filter objects checked with
    get_all_items, exists and (where the plan makes it exact) filtered search.
    """
    if indeterminate is not None:
        model = resolve(db, model, indeterminate)
    rng = rng or random.Random(0)
    n = db.count()
    _check(n == len(model.items), "count() is %d, expected %d", n, len(model.items))
    metas = db.get_all_items("{}")
    _check(len(metas) == n, "get_all_items('{}') has %d entries but count() is %d",
           len(metas), n)
    _check(sorted(canonical(json.loads(t)) for t in metas) == model.live_metas(),
           "metadata of the live items differs from the model")
    if model.dim is None:
        _check(n == 0, "items without a dimension")
        return model
    dim = model.dim
    if n:
        # With k = count() the plan always scans exactly, so this lists every live id.
        everything = db.search([0.0] * dim, n, None, False)
        got = [r[0] for r in everything]
        _check(len(got) == len(set(got)), "an id is listed twice")
        _check(set(got) == set(model.items), "ids differ: missing %r, unexpected %r",
               sorted(set(model.items) - set(got)), sorted(set(got) - set(model.items)))
    if per_item:
        for it in model.items.values():
            res = db.search(it.vector, 1, json.dumps({"_id": it.id}))
            _check(len(res) == 1 and res[0][0] == it.id and res[0][1] == 0.0,
                   "item %r not found by its own vector: %r", it.id, res)
            _check(json.loads(res[0][2]) == it.meta, "item %r has metadata %r, expected %r",
                   it.id, res[0][2], it.meta)
    for _ in range(queries):
        q = [rng.uniform(-1.1, 1.1) for _ in range(dim)]
        k = rng.choice([1, 3, 10, 20])
        check_search(model, db.search(q, k), q, k)
    for f in filters:
        text = json.dumps(f)
        expected = model.evaluate(f)
        got = db.get_all_items(text)
        want = sorted(canonical(model.items[i].meta) for i in expected)
        _check(sorted(canonical(json.loads(t)) for t in got) == want,
               "filter %s selects %d items, expected %d", text, len(got), len(want))
        _check(db.exists(text) == bool(expected), "exists(%s) is wrong", text)
        k = rng.choice([1, 5, 20])
        if search_is_exact(n, k, len(expected)):
            q = [rng.uniform(-1.1, 1.1) for _ in range(dim)]
            check_search(model, db.search(q, k, text), q, k, expected, "search " + text)
    return model
