"""Several interpreters on one directory: one writes (and vacuums), any number read.

Readers never see another process's later writes, but what they see must be a consistent
view: everything acknowledged before they opened, nothing that had not yet been started, and
searches that only name items of that view. The writer records its progress in a shared
mapping (started, acknowledged) that readers consult around their open.
"""

import json
import os
import struct

from harness_helpers import (WRITER_BUSY_TEXT, collect, describe_exit, file_size, finish,
                             gate_words, listed, meta, open_store, run, spawn, vector)

SECONDS = float(os.environ.get("TARNIX_PROCESS_SECONDS", "20"))

WRITER = r"""
import json, mmap, random, struct, sys, time
import tarnix
from harness_helpers import meta, vector

path, seconds, progress_path = sys.argv[1], float(sys.argv[2]), sys.argv[3]
with open(progress_path, "r+b") as f:
    progress = mmap.mmap(f.fileno(), 16)
db = tarnix.TarnDB(path, False)
rng = random.Random(7)
n = calls = persists = vacuums = 0
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    ids = list(range(n, n + rng.choice([1, 1, 5, 20])))
    struct.pack_into("<q", progress, 0, ids[-1])
    if len(ids) == 1:
        db.add("i%d" % n, vector(n), meta(n))
    else:
        db.add_batch(["i%d" % i for i in ids], [vector(i) for i in ids], [meta(i) for i in ids])
    n = ids[-1] + 1
    struct.pack_into("<q", progress, 8, n - 1)
    calls += 1
    if calls % 25 == 0:
        db.persist()
        persists += 1
    if calls % 60 == 0:
        # Readers keep their mappings of the files this replaces.
        db.vacuum()
        vacuums += 1
print(json.dumps({"items": n, "persists": persists, "vacuums": vacuums}))
"""

READER = r"""
import gc, json, mmap, random, struct, sys, time
import tarnix
from harness_helpers import meta, vector

path, seconds, progress_path, seed = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
with open(progress_path, "rb") as f:
    progress = mmap.mmap(f.fileno(), 16, access=mmap.ACCESS_READ)
def word(offset):
    return struct.unpack_from("<q", progress, offset)[0]
rng = random.Random(seed)
opens = searches = 0
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    acknowledged = word(8)
    db = tarnix.TarnDB(path, False)
    started = word(0)
    items = {}
    for text in db.get_all_items("{}"):
        m = json.loads(text)
        assert text == meta(m["n"]), text
        assert m["k"] not in items, "listed twice: " + m["k"]
        items[m["k"]] = m["n"]
    assert db.count() == len(items), (db.count(), len(items))
    missing = [i for i in range(acknowledged + 1) if "i%d" % i not in items]
    assert not missing, "opened after %d was acknowledged, misses %s" % (acknowledged, missing[:5])
    unknown = sorted(n for n in items.values() if n > started)
    assert not unknown, "opened before %d was started, has %s" % (started, unknown[:5])
    for _ in range(10):
        query = vector(rng.randrange(started + 10))
        for hit_id, score, text in db.search(query, 10):
            assert items.get(hit_id) == json.loads(text)["n"], (hit_id, text)
        limit = rng.randrange(acknowledged + 2)
        for hit in json.loads(db.search_json(query, 5, '{"n":{"$lt":%d}}' % limit)):
            assert hit["id"] in items and hit["metadata"]["n"] < limit, hit
        searches += 2
    opens += 1
    del db
    gc.collect()
print(json.dumps({"opens": opens, "searches": searches}))
"""


def progress_file(tmp_path):
    path = tmp_path / "progress"
    path.write_bytes(struct.pack("<qq", -1, -1))
    return path


def test_one_writer_and_three_readers_stay_consistent(tmp_path):
    path = tmp_path / "store"
    progress = progress_file(tmp_path)
    db = open_store(path)
    db.add("i-1", vector(-1), meta(-1))
    del db
    collect()

    writer = spawn(WRITER, path, SECONDS, progress)
    readers = [spawn(READER, path, SECONDS, progress, seed) for seed in (1, 2, 3)]
    outcomes = [finish(p, timeout=4 * SECONDS + 120) for p in [writer] + readers]
    for code, out, err in outcomes:
        assert code == 0, describe_exit(code, err)
    written = json.loads(outcomes[0][1])
    opened = [json.loads(out)["opens"] for _, out, _ in outcomes[1:]]
    assert written["items"] > 0 and all(n > 0 for n in opened), (written, opened)
    print("writer: %d items, %d persists, %d vacuums; reader opens: %s" %
          (written["items"], written["persists"], written["vacuums"], opened))
    assert written["vacuums"] > 0
    assert gate_words(path) == (0, 0)

    db = open_store(path)
    items = listed(db)
    assert sorted(items) == sorted(["i%d" % n for n in range(-1, written["items"])])
    assert db.count() == written["items"] + 1


OPEN_AND_WRITE = r"""
import sys, tarnix
from harness_helpers import meta, vector
db = tarnix.TarnDB(sys.argv[1], False)
db.add("i1", vector(1), meta(1))
db.persist()
print(db.count())
"""


def test_a_gate_left_set_with_nobody_attached_is_cleared_at_open(tmp_path):
    path = tmp_path / "store"
    db = open_store(path)
    db.add("i0", vector(0), meta(0))
    del db
    collect()
    # As a process killed inside the gate leaves it.
    with open(os.path.join(str(path), ".proc_lock"), "r+b") as f:
        f.write(struct.pack("<QQ", 1, 3))
    code, out, err = run(OPEN_AND_WRITE, path, timeout=120)
    assert code == 0, describe_exit(code, err)
    assert out.split() == ["2"]
    assert gate_words(path) == (0, 0)


HOLD_WRITER = r"""
import sys, tarnix
from harness_helpers import meta, vector
db = tarnix.TarnDB(sys.argv[1], False)
db.add("i0", vector(0), meta(0))
print("ready", flush=True)
sys.stdin.readline()
"""

TRY_TO_WRITE = r"""
import json, sys, tarnix
from harness_helpers import meta, vector
db = tarnix.TarnDB(sys.argv[1], False)
outcomes = {"count": db.count()}
calls = {
    "add": lambda: db.add("i1", vector(1), meta(1)),
    "add_batch": lambda: db.add_batch(["i2"], [vector(2)], [meta(2)]),
    "delete": lambda: db.delete("i0"),
    "delete_by_filter": lambda: db.delete_by_filter("{}"),
    "persist": db.persist,
}
for name, call in calls.items():
    try:
        call()
        outcomes[name] = "accepted"
    except OSError as e:
        outcomes[name] = [type(e).__name__, str(e)]
outcomes["count_after"] = db.count()
print(json.dumps(outcomes))
"""


def test_a_second_writing_process_is_refused(tmp_path):
    path = tmp_path / "store"
    holder = spawn(HOLD_WRITER, path, stdin=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        code, out, err = run(TRY_TO_WRITE, path, timeout=120)
        assert code == 0, describe_exit(code, err)
        outcomes = json.loads(out)
        assert outcomes.pop("count") == 1 and outcomes.pop("count_after") == 1
        for name, outcome in outcomes.items():
            assert outcome == ["OSError", WRITER_BUSY_TEXT], name
    finally:
        holder.stdin.write("\n")
        holder.stdin.flush()
        code, _, err = finish(holder, timeout=120)
    assert code == 0, describe_exit(code, err)

    # With the writer gone, another process writes, and sees what was written before.
    code, out, err = run(TRY_TO_WRITE, path, timeout=120)
    assert code == 0, describe_exit(code, err)
    outcomes = json.loads(out)
    assert outcomes["add"] == "accepted" and outcomes["count"] == 1
    assert gate_words(path) == (0, 0)


SEARCHER = r"""
import os, sys, tarnix
from harness_helpers import vector
path, stop = sys.argv[1], sys.argv[2]
db = tarnix.TarnDB(path, False)
print("ready %d" % db.count(), flush=True)
searches = 0
while not os.path.exists(stop) or searches == 0:
    for hit in db.search(vector(searches % 300), 20):
        assert hit[0].startswith("i"), hit
    assert len(db.get_all_items('{"n":{"$gte":250}}')) == 50
    searches += 1
print(searches)
"""


def test_the_tail_is_trimmed_only_once_no_other_process_has_the_store_open(tmp_path):
    path = tmp_path / "store"
    stop = tmp_path / "stop"
    db = open_store(path)
    db.add_batch(["i%d" % n for n in range(300)], [vector(n) for n in range(300)],
                 [meta(n) for n in range(300)])
    full = file_size(path, "graph.bin")
    searcher = spawn(SEARCHER, path, stop)
    try:
        assert searcher.stdout.readline().split() == ["ready", "300"]
        # The searcher maps the slots being deleted here; shrinking the files under it would
        # kill it with SIGBUS, so the trims wait.
        for n in range(299, 99, -1):
            db.delete("i%d" % n)
            if n % 50 == 0:
                db.persist()
                assert file_size(path, "graph.bin") == full
                assert file_size(path, "vectors.bin") >= 300 * 4
    finally:
        stop.write_text("")
        code, out, err = finish(searcher, timeout=300)
    assert code == 0, describe_exit(code, err)
    assert int(out.split()[-1]) > 0

    db.persist()
    assert file_size(path, "graph.bin") == 100 * 48
    assert file_size(path, "vectors.bin") == 100 * 4
    assert db.count() == 100
    del db
    collect()
    assert gate_words(path) == (0, 0)
    db = open_store(path)
    assert sorted(listed(db)) == sorted("i%d" % n for n in range(100))
