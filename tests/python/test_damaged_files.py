"""Damaged files: every case opens, answers from what can be trusted, and never crashes.

- wal.bin: a torn or garbage tail is dropped silently (and cut, so later writes are found by
  the next open); a record claiming a huge length fails without allocating for it.
- snapshot.bin: a snapshot that does not decode is reported on standard error and the store
  is rebuilt from the log; bytes after a valid snapshot are ignored.
- data files: unreadable id and metadata records read as "" and "{}"; graph rows full of
  garbage keep searches memory-safe, returning live items only.
"""

import contextlib
import gc
import json
import os
import platform
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys

import pytest

import tarnix
from harness_helpers import INTERPRETER
from store_model import StoreModel, check_search, codes, distance, verify

PYPY = platform.python_implementation() == "PyPy"
CORRUPT = "Tarnix Warning: snapshot.bin is corrupt or incompatible ("
WARNING = "Tarnix Warning"
FILTERS = [{"grp": "red"}, {"flag": False}, {"n": {"$gte": 5}}, {"n": {"$ne": 3}},
           {"tags": {"$in": ["b", "c"]}}, {"w": {"$lt": 0}}, {"skipme": "x"},
           {"n": {"$exists": False}}]


def collect():
    # PyPy frees a dropped store (and releases its writer role) only when the collector
    # runs; CPython has freed it already.
    if PYPY:
        gc.collect()


@contextlib.contextmanager
def file_size_cap(limit=1 << 30):
    """Makes writing or sizing a file beyond `limit` fail with EFBIG instead of filling the
    disk, should damaged input ever make the store grow its files without bound."""
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, old_limit[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
        signal.signal(signal.SIGXFSZ, old_handler)


def open_store(path, capfd):
    """Opens a store and returns it with what it printed on standard error."""
    capfd.readouterr()
    db = tarnix.TarnDB(str(path), pca_enabled=False)
    return db, capfd.readouterr().err


def item_meta(rng, id, i):
    meta = {"id": id, "i": i, "grp": rng.choice(["red", "green", "blue"]),
            "n": rng.randrange(10), "flag": rng.random() < 0.5,
            "tags": rng.sample(["a", "b", "c", "d"], rng.randrange(3))}
    if rng.random() < 0.4:
        meta["w"] = round(rng.uniform(-3, 3), 3)
    if rng.random() < 0.2:
        meta["nested"] = {"k": [1, "x"]}
    if rng.random() < 0.3:
        meta["skipme"] = "x"
    return meta


def populate(db, model, rng, n, dim, prefix="k"):
    """Adds, upserts and deletes through every write method, in the store and the model."""
    for i in range(n):
        id = "%s%03d" % (prefix, i)
        vec = [rng.uniform(-1, 1) for _ in range(dim)]
        meta = json.dumps(item_meta(rng, id, i))
        skip = ["skipme"] if i % 3 == 0 else None
        ttl = 10 ** 6 if i % 7 == 0 else None
        db.add(id, vec, meta, skip, ttl)
        model.add(id, vec, meta, skip, ttl)
    ids = ["%s%03d" % (prefix, i) for i in range(0, n, 4)]
    vecs = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in ids]
    metas = [json.dumps(item_meta(rng, id, 1000 + j)) for j, id in enumerate(ids)]
    db.add_batch(ids, vecs, metas)
    model.add_batch(ids, vecs, metas)
    for i in range(1, n, 5):
        db.delete("%s%03d" % (prefix, i))
        model.delete("%s%03d" % (prefix, i))
    f = '{"grp": "blue", "n": {"$lt": 3}}'
    assert db.delete_by_filter(f) == model.delete_by_filter(f)


# ---------------------------------------------------------------------------------------
# wal.bin


def wal_path(d):
    return os.path.join(str(d), "wal.bin")


@pytest.fixture(scope="module")
def logged_store(tmp_path_factory):
    """A store that lives in its log alone, with the log size after every call, and the model
    after every call."""
    path = tmp_path_factory.mktemp("logged")
    rng = random.Random(7)
    db = tarnix.TarnDB(str(path), pca_enabled=False)
    model = StoreModel()
    states = [(0, model.copy())]
    for i in range(6):
        id = "w%d" % i
        vec = [rng.uniform(-1, 1) for _ in range(4)]
        meta = json.dumps(item_meta(rng, id, i))
        db.add(id, vec, meta)
        model.add(id, vec, meta)
        states.append((os.path.getsize(wal_path(path)), model.copy()))
    # The last two records: an insert with every optional field, then a delete.
    vec = [0.25, -0.5, 0.75, 1.0]
    meta = json.dumps({"id": "w1", "grp": "red", "n": 4, "skipme": "x"})
    db.add("w1", vec, meta, ["skipme", "other"], 10 ** 6)
    model.add("w1", vec, meta, ["skipme", "other"], 10 ** 6)
    states.append((os.path.getsize(wal_path(path)), model.copy()))
    db.delete("w3")
    model.delete("w3")
    states.append((os.path.getsize(wal_path(path)), model.copy()))
    del db
    collect()
    with open(wal_path(path), "rb") as f:
        log = f.read()
    assert len(log) == states[-1][0]
    return log, states


def model_at(states, length):
    """The model of the longest run of whole records within `length` bytes."""
    return [m for end, m in states if end <= length][-1]


def check_log_case(tmp_path, capfd, log_bytes, model, name):
    """Opens a store made of `log_bytes` alone: it must show `model` without a word, take a
    write, and a second open must find that write (so a bad tail was cut, not skipped)."""
    d = tmp_path / name
    d.mkdir()
    with open(wal_path(d), "wb") as f:
        f.write(log_bytes)
    db, err = open_store(d, capfd)
    assert WARNING not in err, err
    model = verify(db, model.copy(), filters=FILTERS[:3], queries=1)
    model.add("after", [0.5, 0.5, 0.5, 0.5], '{"id": "after", "grp": "red"}')
    db.add("after", [0.5, 0.5, 0.5, 0.5], '{"id": "after", "grp": "red"}')
    # A reader may open the directory while the writer still has it; it replays the log.
    again, err = open_store(d, capfd)
    assert WARNING not in err, err
    verify(again, model, filters=FILTERS[:3], queries=1)
    del db, again
    shutil.rmtree(str(d))


def test_log_cut_at_every_byte_of_its_last_two_records(tmp_path, capfd, logged_store):
    log, states = logged_store
    start = states[-3][0]
    for cut in range(start, len(log) + 1):
        check_log_case(tmp_path, capfd, log[:cut], model_at(states, cut), "cut%d" % cut)
        if cut % 16 == 0:
            collect()
    collect()


@pytest.mark.parametrize("tail", [
    b"\0", b"\0" * 29, b"\0" * 30, b"\0" * 31, b"\0" * 4096,
    b"\x07\x00\x00\x00garbage", b"\x01\x00\x00\x00\xff\xff",
    bytes(random.Random(1).randrange(2, 256) for _ in range(3)),
    bytes([9]) + bytes(random.Random(2).randrange(256) for _ in range(5000)),
], ids=["zero1", "zero29", "zero30", "zero31", "zero4096", "bad-variant", "torn-delete",
        "short-garbage", "long-garbage"])
def test_log_with_a_bad_tail_replays_what_precedes_it(tmp_path, capfd, logged_store, tail):
    # Thirty zero bytes happen to decode as an insert of an empty vector under the id "",
    # which replay skips like any vector of the wrong length.
    log, states = logged_store
    check_log_case(tmp_path, capfd, log + tail, states[-1][1], "tail")
    collect()


def insert_record(id_len=None, id=b"x", count=None, vec=(), meta_len=None, meta=b"{}",
                  skip_count=None):
    out = struct.pack("<I", 0)
    out += struct.pack("<Q", len(id) if id_len is None else id_len) + id
    out += struct.pack("<Q", len(vec) if count is None else count)
    out += b"".join(struct.pack("<f", x) for x in vec)
    out += struct.pack("<Q", len(meta) if meta_len is None else meta_len) + meta
    if skip_count is None:
        return out + b"\x00\x00"
    return out + b"\x01" + struct.pack("<Q", skip_count) + b"\x00" * 64


HUGE_RECORDS = {
    "id-4GiB": insert_record(id_len=0xFFFFFFFF),
    "id-2^40": insert_record(id_len=1 << 40),
    "vector-1G": insert_record(count=0x3FFFFFFF, vec=(0.5,) * 4),
    "metadata-4GiB": insert_record(vec=(0.5,) * 4, meta_len=0xFFFFFFF0),
    "skip-4G": insert_record(vec=(0.5,) * 4, skip_count=0xFFFFFFFF),
    "delete-4GiB": struct.pack("<I", 1) + struct.pack("<Q", 0xFFFFFFFE) + b"abc",
}

# Opens each directory with the address space capped a little above what the interpreter
# already uses, so a decoder that allocates what a length field claims fails (or dies).
CAPPED_OPEN = r"""
import json, resource, sys
import tarnix
def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
limit = vm_size() + (512 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for d in sys.argv[1:]:
    db = tarnix.TarnDB(d, pca_enabled=False)
    print(json.dumps([db.count(), sorted(json.loads(t)["id"] for t in db.get_all_items("{}"))]))
    del db
"""


def test_log_record_with_a_huge_length_fails_without_allocating(tmp_path, logged_store):
    log, states = logged_store
    dirs = []
    for name, record in sorted(HUGE_RECORDS.items()):
        d = tmp_path / name
        d.mkdir()
        with open(wal_path(d), "wb") as f:
            f.write(log + record)
        dirs.append(str(d))
    out = subprocess.run(INTERPRETER + ["-c", CAPPED_OPEN] + dirs, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    assert out.returncode == 0, out.stderr
    assert WARNING not in out.stderr, out.stderr
    model = states[-1][1]
    expected = [len(model.items), sorted(model.items)]
    lines = out.stdout.split("\n")[:len(dirs)]
    assert [json.loads(line) for line in lines] == [expected] * len(dirs)


# ---------------------------------------------------------------------------------------
# snapshot.bin


class SnapshotLayout:
    """Where each field of a snapshot lies: regions by name, bitmap blobs, and the structural
    bytes (lengths, counts, tags, bitmap headers) whose damage the decoder must notice."""

    def __init__(self, data):
        self.d = data
        self.p = 0
        self.regions = {}
        self.blobs = []
        self.structural = {}
        self.parse()
        assert self.p == len(data)

    def take(self, fmt):
        (v,) = struct.unpack_from(fmt, self.d, self.p)
        self.p += struct.calcsize(fmt)
        return v

    def count(self, region):
        # The top byte of a 64-bit length or count: flipped, it no longer fits a size.
        self.structural.setdefault(region, []).append(self.p + 7)
        return self.take("<Q")

    def string(self, region):
        n = self.count(region)
        self.p += n

    def bitmap(self, region, name):
        n = self.count(region)
        self.blobs.append((name, self.p, n))
        self.structural[region].append(self.p)  # first byte of the Roaring cookie
        self.p += n

    def region(self, name, parse):
        start = self.p
        parse(name)
        self.regions[name] = (start, self.p)

    def parse(self):
        def dimension(r):
            self.structural[r] = [self.p + 7]
            self.take("<Q")

        def entry(r):
            self.structural[r] = [self.p]
            if self.take("<B"):
                self.take("<I")

        def strings(r):
            for _ in range(self.count(r)):
                self.string(r)
                for _ in range(self.count(r)):
                    self.string(r)
                    self.bitmap(r, "string")

        def numbers(r):
            for _ in range(self.count(r)):
                self.string(r)
                for _ in range(33):
                    self.bitmap(r, "numeric")
                self.p += 9

        def bitmaps(r):
            self.structural[r] = []
            self.bitmap(r, "valid")
            self.bitmap(r, "deleted")

        def ids(r):
            n = self.count(r)
            self.p += 12 * n

        def expiry(r):
            for _ in range(self.count(r)):
                self.take("<I")
                n = self.count(r)
                self.p += 4 * n

        for name, parse in [("dimension", dimension), ("entry point", entry),
                            ("string index", strings), ("numeric index", numbers),
                            ("bitmaps", bitmaps), ("id map", ids), ("expiry", expiry)]:
            self.region(name, parse)


def roaring_array_values(blob):
    """The offset and values of the first array container holding two or more values."""
    cookie, size = struct.unpack_from("<II", blob, 0)
    assert cookie == 12346, "expected a Roaring blob without run containers"
    cards = [struct.unpack_from("<HH", blob, 8 + 4 * i)[1] + 1 for i in range(size)]
    offsets = [struct.unpack_from("<I", blob, 8 + 4 * size + 4 * i)[0] for i in range(size)]
    for card, off in zip(cards, offsets):
        if 2 <= card <= 4096:
            return off, list(struct.unpack_from("<%dH" % card, blob, off))
    return None, None


@pytest.fixture(scope="module")
def snapshot_store(tmp_path_factory):
    """A persisted store whose log still holds every write since it was created (as after a
    crash between the snapshot's rename and the log's reset), so that whether the snapshot
    is used or ignored, the open must show the same items."""
    path = tmp_path_factory.mktemp("snap")
    rng = random.Random(11)
    db = tarnix.TarnDB(str(path), pca_enabled=False)
    model = StoreModel()
    populate(db, model, rng, 40, 8)
    with open(wal_path(path), "rb") as f:
        log = f.read()
    db.persist()
    del db
    collect()
    with open(wal_path(path), "wb") as f:
        f.write(log)
    with open(os.path.join(str(path), "snapshot.bin"), "rb") as f:
        layout = SnapshotLayout(f.read())
    return path, model, layout


def damaged_copy(src, dst, snapshot):
    shutil.copytree(str(src), str(dst))
    with open(os.path.join(str(dst), "snapshot.bin"), "wb") as f:
        f.write(snapshot)


def flip(data, at):
    b = bytearray(data)
    b[at] ^= 0xFF
    return bytes(b)


def check_rebuilt(tmp_path, capfd, store, snapshot, name, warned=True):
    src, model, _ = store
    d = tmp_path / name
    damaged_copy(src, d, snapshot)
    db, err = open_store(d, capfd)
    if warned:
        assert err.count(CORRUPT) == 1 and err.endswith(
            "). Ignoring and rebuilding from WAL.\n"), (name, err)
    else:
        assert WARNING not in err, (name, err)
    model = verify(db, model.copy(), filters=FILTERS, queries=2)
    db.add("late", [0.1] * 8, '{"id": "late", "grp": "red"}')
    model.add("late", [0.1] * 8, '{"id": "late", "grp": "red"}')
    assert db.count() == len(model.items)
    del db
    collect()
    shutil.rmtree(str(d))


def test_snapshot_rebuilt_from_log_when_a_field_is_damaged(tmp_path, capfd, snapshot_store):
    _, model, layout = snapshot_store
    data = layout.d
    assert model.items and set(layout.structural) == set(layout.regions)
    for region, positions in sorted(layout.structural.items()):
        assert positions, region
        for at in sorted(set(positions))[:6]:
            check_rebuilt(tmp_path, capfd, snapshot_store, flip(data, at),
                          "%s-%d" % (region.replace(" ", "_"), at))


def test_snapshot_truncated_is_rebuilt_from_log(tmp_path, capfd, snapshot_store):
    data = snapshot_store[2].d
    cuts = sorted({0, 1, 7, 8, 9, len(data) // 3, len(data) // 2, len(data) - 9,
                   len(data) - 1} | {start for start, _ in snapshot_store[2].regions.values()})
    for cut in cuts:
        if cut == 0:
            continue  # an empty file is simply too short: covered by cut 1
        check_rebuilt(tmp_path, capfd, snapshot_store, data[:cut], "cut%d" % cut)
    # A snapshot of zero bytes is damaged too.
    check_rebuilt(tmp_path, capfd, snapshot_store, b"", "empty")


@pytest.mark.parametrize("damage", ["unsorted", "duplicate"])
@pytest.mark.parametrize("blob", ["valid", "deleted", "string", "numeric"])
def test_snapshot_bitmap_with_unordered_values_is_refused(tmp_path, capfd, snapshot_store,
                                                          blob, damage):
    layout = snapshot_store[2]
    data = bytearray(layout.d)
    for name, start, n in layout.blobs:
        if name != blob:
            continue
        off, values = roaring_array_values(bytes(data[start:start + n]))
        if off is None:
            continue
        if damage == "unsorted":
            values[0], values[1] = values[1], values[0]
        else:
            values[1] = values[0]
        struct.pack_into("<%dH" % len(values), data, start + off, *values)
        break
    else:
        pytest.fail("no %s bitmap with an array of two or more values" % blob)
    check_rebuilt(tmp_path, capfd, snapshot_store, bytes(data), blob + damage)


@pytest.mark.parametrize("blob", ["valid", "deleted"])
def test_snapshot_naming_far_slots_does_not_grow_the_files(tmp_path, capfd, snapshot_store, blob):
    # A damaged container key that still decodes moves the bitmap's slots near 2^31, far
    # beyond what the files hold; they are dropped, and nothing is allocated up to them.
    layout = snapshot_store[2]
    data = bytearray(layout.d)
    (start, n), = [(start, n) for name, start, n in layout.blobs if name == blob]
    cookie, size = struct.unpack_from("<II", data, start)
    assert cookie == 12346 and size >= 1
    struct.pack_into("<H", data, start + 8, 0x7FFF)
    with file_size_cap():
        check_rebuilt(tmp_path, capfd, snapshot_store, bytes(data), "far-" + blob, warned=False)


def test_snapshot_with_trailing_bytes_is_used_silently(tmp_path, capfd, snapshot_store):
    data = snapshot_store[2].d
    for tail in [b"\0", b"\xff" * 100, bytes(random.Random(3).randrange(256) for _ in range(5000))]:
        check_rebuilt(tmp_path, capfd, snapshot_store, data + tail, "tail%d" % len(tail),
                      warned=False)


def check_flip(tmp_path, capfd, snapshot_store, at):
    src, model, layout = snapshot_store
    d = tmp_path / ("flip%d" % at)
    damaged_copy(src, d, flip(layout.d, at))
    db, err = open_store(d, capfd)
    if CORRUPT in err:
        verify(db, model.copy(), filters=FILTERS[:2], queries=1, per_item=False)
    n = db.count()
    db.get_all_items("{}")
    for f in FILTERS:
        db.get_all_items(json.dumps(f))
    known = set(model.items) | {""}
    for hit in db.search([0.3] * 8, n + 5) if n else []:
        assert hit[0] in known, (at, hit)
    try:
        db.add("late", [0.1] * 8, '{"id": "late"}')
    except ValueError:
        pass  # the flip changed the dimension
    else:
        hit = db.search([0.1] * 8, 1, '{"_id": "late"}')
        assert hit and hit[0][0] == "late", at
    del db
    collect()
    shutil.rmtree(str(d))


def test_snapshot_bytes_flipped_anywhere_never_crash(tmp_path, capfd, snapshot_store):
    """A flipped byte that still decodes cannot be told from real content, since the format
    carries no checksum. Whatever it gives, the store must stay usable and memory-safe, and
    a warned open must match the log."""
    data = snapshot_store[2].d
    positions = sorted(random.Random(5).sample(range(len(data)), min(60, len(data))))
    with file_size_cap():
        for at in positions:
            check_flip(tmp_path, capfd, snapshot_store, at)


# ---------------------------------------------------------------------------------------
# Data files


@pytest.fixture
def persisted(tmp_path):
    """A persisted store with an empty log: its files alone describe it."""
    rng = random.Random(13)
    db = tarnix.TarnDB(str(tmp_path), pca_enabled=False)
    model = StoreModel()
    populate(db, model, rng, 30, 8)
    db.persist()
    del db
    collect()
    return tmp_path, model


def live_slots(path, model):
    """Slot of each live item, found through its id record's offset."""
    with open(os.path.join(str(path), "ids.bin"), "rb") as f:
        ids = f.read()
    with open(os.path.join(str(path), "offsets.bin"), "rb") as f:
        offsets = f.read()
    slots = {}
    for s in range(len(offsets) // 8):
        (off,) = struct.unpack_from("<Q", offsets, 8 * s)
        if off + 4 <= len(ids):
            (n,) = struct.unpack_from("<I", ids, off)
            id = ids[off + 4:off + 4 + n].decode("utf-8", "replace")
            if id in model.items and id not in slots:
                slots[id] = s
    return slots


def poke(path, name, at, data):
    with open(os.path.join(str(path), name), "r+b") as f:
        f.seek(at)
        f.write(data)


def test_unreadable_records_read_as_empty(persisted, capfd):
    path, model = persisted
    slots = live_slots(path, model)
    victims = sorted(model.items)[:6]
    with open(os.path.join(str(path), "ids.bin"), "rb") as f:
        ids_len = len(f.read())
    with open(os.path.join(str(path), "metadata.bin"), "rb") as f:
        meta_len = len(f.read())
    # Offsets past the end of ids.bin / metadata.bin, or leaving no room for the length word.
    poke(path, "offsets.bin", 8 * slots[victims[0]], struct.pack("<Q", 1 << 62))
    poke(path, "meta_offsets.bin", 8 * slots[victims[0]], struct.pack("<Q", meta_len - 2))
    poke(path, "offsets.bin", 8 * slots[victims[1]], struct.pack("<Q", ids_len))
    poke(path, "meta_offsets.bin", 8 * slots[victims[1]], struct.pack("<Q", (1 << 64) - 1))
    # Length words too long: 10,000,001 for metadata, past the end for an id.
    with open(os.path.join(str(path), "meta_offsets.bin"), "rb") as f:
        meta_offsets = f.read()
    with open(os.path.join(str(path), "offsets.bin"), "rb") as f:
        id_offsets = f.read()
    (moff,) = struct.unpack_from("<Q", meta_offsets, 8 * slots[victims[2]])
    poke(path, "metadata.bin", moff, struct.pack("<I", 10000001))
    (ioff,) = struct.unpack_from("<Q", id_offsets, 8 * slots[victims[2]])
    poke(path, "ids.bin", ioff, struct.pack("<I", 0xFFFFFFFF))
    # Bytes that are not UTF-8.
    (moff,) = struct.unpack_from("<Q", meta_offsets, 8 * slots[victims[3]])
    poke(path, "metadata.bin", moff + 4, b"\xff\xfe")
    (ioff,) = struct.unpack_from("<Q", id_offsets, 8 * slots[victims[3]])
    poke(path, "ids.bin", ioff + 4, b"\xc3")
    # A metadata record that is UTF-8 but not JSON is returned as stored.
    (moff,) = struct.unpack_from("<Q", meta_offsets, 8 * slots[victims[4]])
    poke(path, "metadata.bin", moff + 4, b"]")

    db, err = open_store(path, capfd)
    assert WARNING not in err
    assert db.count() == len(model.items)
    metas = db.get_all_items("{}")
    assert len(metas) == len(model.items)
    assert sum(t == "{}" for t in metas) >= 4
    damaged = set(victims[:5])
    for id in damaged:
        it = model.items[id]
        hit = db.search(it.vector, 1, json.dumps({"_id": id}))
        assert len(hit) == 1 and hit[0][1] == 0.0
        if id in victims[:4]:
            assert hit[0][0] == ""
            assert hit[0][2] == "{}"
    healthy = StoreModel()
    healthy.dim = model.dim
    healthy.num_fields = model.num_fields
    healthy.items = {i: it for i, it in model.items.items() if i not in damaged}
    for id, it in healthy.items.items():
        hit = db.search(it.vector, 1, json.dumps({"_id": id}))
        assert hit[0][0] == id and json.loads(hit[0][2]) == it.meta
    # The damaged items can still be deleted and replaced by id, and the store keeps working.
    for id in victims[:4]:
        db.delete(id)
        model.delete(id)
    db.delete_by_filter('{"grp": "red"}')
    model.delete_by_filter('{"grp": "red"}')
    db.add(victims[4], [0.2] * 8, json.dumps({"id": victims[4]}))
    model.add(victims[4], [0.2] * 8, json.dumps({"id": victims[4]}))
    assert db.count() == len(model.items)
    # Once a persist has released the freed slots, new items take them; they must not
    # inherit the values the damaged records could not name.
    db.persist()
    rng = random.Random(14)
    for i in range(12):
        id = "r%02d" % i
        vec = [rng.uniform(-1, 1) for _ in range(8)]
        meta = json.dumps(item_meta(rng, id, i))
        db.add(id, vec, meta)
        model.add(id, vec, meta)
    verify(db, model, filters=FILTERS)
    del db
    collect()
    db, err = open_store(path, capfd)
    assert WARNING not in err
    verify(db, model, filters=FILTERS)


def test_garbage_graph_rows_keep_searches_safe(tmp_path, capfd, monkeypatch):
    """The graph walk only runs on larger stores, or when the exact scan is turned off."""
    rng = random.Random(17)
    dim = 6
    db = tarnix.TarnDB(str(tmp_path), pca_enabled=False)
    model = StoreModel()
    ids = ["g%04d" % i for i in range(1200)]
    vecs = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in ids]
    metas = [json.dumps({"id": i, "grp": rng.choice(["a", "b"])}) for i in ids]
    db.add_batch(ids, vecs, metas)
    model.add_batch(ids, vecs, metas)
    for i in ids[::7]:
        db.delete(i)
        model.delete(i)
    db.persist()
    del db
    collect()
    graph = os.path.join(str(tmp_path), "graph.bin")
    size = os.path.getsize(graph)
    with open(graph, "r+b") as f:
        # Every row of the first half: random slots, most far beyond the capacity; the rest:
        # slots in range, deleted ones included, with repeats.
        f.write(bytes(rng.randrange(256) for _ in range(size // 2)))
        f.write(b"".join(struct.pack("<I", rng.randrange(1300)) for _ in range((size - size // 2) // 4)))
    db, err = open_store(tmp_path, capfd)
    assert WARNING not in err
    monkeypatch.setenv("TARNIX_DISABLE_SMALL_EXACT_SEARCH", "1")
    live = set(model.items)
    for flags in [{}, {"TARNIX_SMART_ENTRY": "1"}, {"TARNIX_MULTI_ENTRY_SEARCH": "1"}]:
        for name, value in flags.items():
            monkeypatch.setenv(name, value)
        for _ in range(20):
            q = [rng.uniform(-1.2, 1.2) for _ in range(dim)]
            for k, f in [(10, None), (50, None), (10, '{"grp": "a"}')]:
                res = db.search(q, k, f)
                got = [r[0] for r in res]
                assert len(got) == len(set(got)) <= k
                assert set(got) <= live
                scores = [r[1] for r in res]
                assert scores == sorted(scores)
                for id, score, meta in res:
                    assert score == distance(codes(q), model.items[id].codes)
                    assert json.loads(meta) == model.items[id].meta
                    if f:
                        assert model.items[id].meta["grp"] == "a"
        for name in flags:
            monkeypatch.delenv(name)
    # Writes link new items through the same rows, and deletes detach through them.
    db.prewarm_delete_path()
    for i in range(50):
        id = "n%03d" % i
        v = [rng.uniform(-1, 1) for _ in range(dim)]
        db.add(id, v, json.dumps({"id": id}))
        model.add(id, v, json.dumps({"id": id}))
    for id in sorted(model.items)[::9]:
        db.delete(id)
        model.delete(id)
    monkeypatch.delenv("TARNIX_DISABLE_SMALL_EXACT_SEARCH")
    verify(db, model, queries=5, per_item=False)
    q = [0.0] * dim
    check_search(model, db.search(q, 20), q, 20)
