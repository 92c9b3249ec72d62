"""Several interpreters on one directory. Every call of every store first takes on what the
others wrote: a reader's answer reflects every writing call that returned before it, and
never pairs an id with another item's vector, metadata or score. Writing calls of several
processes take turns.

Writers announce each call in a file as they start it and once it has returned; readers
compare their answers with the states those announcements allow.
"""

import json
import os
import struct

from harness_helpers import (collect, describe_exit, file_size, finish, gate_words, item_meta,
                             item_vector, listed, meta, open_store, run, spawn, vector)
from store_model import StoreModel, verify

SECONDS = float(os.environ.get("TARNIX_PROCESS_SECONDS", "20"))

# One writing process: adds, replacements, batches, deletes, filter deletes, persists and
# vacuums over a few hundred ids (so deleted slots are reused), each call announced.
WRITER = r"""
import json, random, sys, time
import tarnix
from harness_helpers import item_meta, item_vector

path, seconds, announce, tag, seed = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])
db = tarnix.TarnDB(path, False)
rng = random.Random(seed)
live = {}
out = open(announce, "a", buffering=1)
seq = calls = 0
deadline = time.monotonic() + seconds
def new_id():
    return "%s%d" % (tag, rng.randrange(300))
while time.monotonic() < deadline:
    seq += 1
    r = rng.random()
    if r < 0.35 or not live:
        ident = new_id()
        change = {ident: seq}
        call = lambda: db.add(ident, item_vector(ident, seq), item_meta(ident, seq, tag))
    elif r < 0.55:
        ids = sorted({new_id() for _ in range(rng.randint(2, 25))})
        change = {i: seq for i in ids}
        call = lambda: db.add_batch(ids, [item_vector(i, seq) for i in ids],
                                    [item_meta(i, seq, tag) for i in ids])
    elif r < 0.8:
        ident = rng.choice(sorted(live)) if rng.random() < 0.9 else new_id()
        change = {ident: None}
        call = lambda: db.delete(ident)
    elif r < 0.86:
        g = rng.randrange(7)
        change = {i: None for i in live if int(i[1:]) % 7 == g}
        call = lambda: db.delete_by_filter(json.dumps({"w": tag, "g": g}))
    elif r < 0.95:
        change = {}
        call = db.persist
    else:
        change = {}
        call = db.vacuum
    out.write(json.dumps(["S", seq, change]) + "\n")
    call()
    for ident, version in change.items():
        if version is None:
            live.pop(ident, None)
        else:
            live[ident] = version
    out.write(json.dumps(["A", seq]) + "\n")
    calls += 1
print(json.dumps({"calls": calls, "live": live}))
"""

# A reader that keeps one store open for the whole run. Between two looks at the
# announcements, an answer may show any call that overlapped it, but every call that had
# returned before it began.
READER = r"""
import json, random, sys, time
import tarnix
from harness_helpers import item_meta, item_vector
from store_model import codes, distance

path, seconds, announce, seed = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
db = tarnix.TarnDB(path, False)
rng = random.Random(seed)
announcements = open(announce)
pending = ""
changes = {}      # seq -> {id: version or None}, for every call seen starting
returned = set()
acked = {}        # the state of every call seen returning: id -> version
last_seq = 0

def look():
    global pending, last_seq
    pending += announcements.read()
    *lines, pending = pending.split("\n")
    for line in lines:
        kind, seq, *rest = json.loads(line)
        if kind == "S":
            changes[seq] = rest[0]
            last_seq = seq
        else:
            returned.add(seq)
            for ident, version in changes[seq].items():
                if version is None:
                    acked.pop(ident, None)
                else:
                    acked[ident] = version

def window_between(before, open_seqs, first_seq):
    # Per id, the versions an answer may show: its version in `before`, or one that a call
    # overlapping the answer set. Ids that no such call touched are left out.
    window = {}
    for seq in sorted(open_seqs | set(range(first_seq + 1, last_seq + 1))):
        for ident, version in changes[seq].items():
            window.setdefault(ident, {before.get(ident)}).add(version)
    return window

def check_hit(hit_id, score, text, q, ok):
    m = json.loads(text)
    assert m["id"] == hit_id and text == item_meta(hit_id, m["v"], m["w"]), (hit_id, text)
    assert score == distance(codes(q), codes(item_vector(hit_id, m["v"]))), (hit_id, score)
    assert ok(hit_id, m["v"]), (hit_id, m["v"])

answers = 0
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    look()
    before, open_seqs, first_seq = dict(acked), set(changes) - returned, last_seq
    items = {}
    for text in db.get_all_items("{}"):
        m = json.loads(text)
        assert m["id"] not in items, "listed twice: " + m["id"]
        items[m["id"]] = m["v"]
    probe = rng.choice(sorted(items)) if items else None
    q = [rng.uniform(-1, 1) for _ in range(8)]
    hits = db.search(q, 10)
    own = db.search(item_vector(probe, items[probe]), 1, json.dumps({"_id": probe})) if probe else []
    look()
    window = window_between(before, open_seqs, first_seq)
    ok = lambda ident, version: version in window.get(ident, {before.get(ident)})
    for ident in set(before) | set(items):
        assert ok(ident, items.get(ident)), (ident, items.get(ident), before.get(ident))
    for hit in hits:
        check_hit(*hit, q, ok)
    if probe is not None and probe not in window:
        # Nobody touched it: found by its own vector, exactly.
        assert own and own[0][0] == probe and own[0][1] == 0.0, (probe, own)
    for hit in own:
        check_hit(*hit, item_vector(probe, items[probe]), ok)
    answers += 1
print(json.dumps({"answers": answers}))
"""


def test_readers_follow_one_writer_and_never_mix_items(tmp_path):
    path = tmp_path / "store"
    announce = tmp_path / "announce"
    announce.write_text("")
    db = open_store(path)
    db.persist()
    del db
    collect()
    writer = spawn(WRITER, path, SECONDS, announce, "i", 7)
    readers = [spawn(READER, path, SECONDS, announce, seed) for seed in (1, 2, 3)]
    outcomes = [finish(p, timeout=4 * SECONDS + 120) for p in [writer] + readers]
    for code, out, err in outcomes:
        assert code == 0, describe_exit(code, err)
    written = json.loads(outcomes[0][1])
    answers = [json.loads(out)["answers"] for _, out, _ in outcomes[1:]]
    assert written["calls"] > 0 and all(n > 0 for n in answers), (written, answers)
    print("writer: %d calls; reader answers: %s" % (written["calls"], answers))
    assert gate_words(path) == (0, 0)
    db = open_store(path)
    assert {i: json.loads(t)["v"] for i, t in listed_by_id(db).items()} == written["live"]


def listed_by_id(db):
    return {json.loads(t)["id"]: t for t in db.get_all_items("{}")}


def test_two_writing_processes_take_turns_and_a_third_sees_both(tmp_path):
    path = tmp_path / "store"
    announce = tmp_path / "announce"
    announce.write_text("")
    writers = [spawn(WRITER, path, SECONDS / 2, announce, tag, seed)
               for tag, seed in (("a", 11), ("b", 12))]
    outcomes = [finish(p, timeout=4 * SECONDS + 120) for p in writers]
    for code, out, err in outcomes:
        assert code == 0, describe_exit(code, err)
    live = {}
    for _, out, _ in outcomes:
        live.update(json.loads(out)["live"])
    db = open_store(path)
    model = StoreModel()
    for ident, version in sorted(live.items()):
        model.add(ident, item_vector(ident, version), item_meta(ident, version, ident[0]))
    verify(db, model, filters=[{"w": "a"}, {"g": 3}, {"v": {"$gte": 50}}])
    assert gate_words(path) == (0, 0)


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


SEARCHER = r"""
import os, sys, tarnix
from harness_helpers import vector
path, stop = sys.argv[1], sys.argv[2]
db = tarnix.TarnDB(path, False)
print("ready %d" % db.count(), flush=True)
searches = 0
seen = 300
while not os.path.exists(stop) or searches == 0:
    # It follows the deletes (only deletes happen), reading rows beyond the trimmed end.
    for hit in db.search(vector(searches % 300), 20):
        assert hit[0].startswith("i"), hit
    now = len(db.get_all_items('{"n":{"$gte":0}}'))
    assert now <= seen, (now, seen)
    seen = now
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
