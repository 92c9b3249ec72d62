"""A really full disk, and JSON nested deep enough to exhaust a stack.

The disk is a small tmpfs mounted for the test. Everything runs in a child interpreter, so a
write through a mapping into space the disk does not have (SIGBUS) or a stack overflow
shows up as the child's death instead of taking the test run with it.
"""

import json
import os
import subprocess

import pytest

from harness_helpers import ENOSPC_TEXT, describe_exit, run

FULL_DISK = r"""
import gc, json, os, sys, tarnix
from harness_helpers import listed, meta, vector

mount = sys.argv[1]
path = os.path.join(mount, "store")
filler = os.path.join(mount, "filler")
report = {}

def attempt(call):
    try:
        call()
        return "ok"
    except OSError as e:
        return [type(e).__name__, str(e)]

def fill(leave=0):
    # Fills the disk, then gives back `leave` bytes.
    with open(filler, "ab", buffering=0) as f:
        chunk = b"\xff" * 65536
        try:
            while True:
                f.write(chunk)
        except OSError:
            pass
    size = os.path.getsize(filler)
    os.truncate(filler, max(0, size - leave))

def snapshot_bytes():
    with open(os.path.join(path, "snapshot.bin"), "rb") as f:
        return f.read()

db = tarnix.TarnDB(path, False)
for n in range(10):
    db.add("i%d" % n, vector(n), meta(n))
db.persist()  # trims the slot files to the 10 slots in use
before = snapshot_bytes()

# Room for a log record, none for the blocks a grown slot file must have.
fill(leave=256 * 1024)
report["growth"] = attempt(lambda: db.add("i10", vector(10), meta(10)))
report["count_after_growth"] = db.count()

# Records larger than what is left of the log's last block: the append itself fails, and
# is cut back so the log stays whole.
fill()
wal = os.path.join(path, "wal.bin")
wal_size = os.path.getsize(wal)
bulky = ["s" * 100000]
report["log_append"] = attempt(lambda: db.add("i11", vector(11), meta(11), bulky))
report["batch_append"] = attempt(
    lambda: db.add_batch(["i12", "i13"], [vector(12), vector(13)], [meta(12), meta(13)], bulky))
report["delete_append"] = attempt(lambda: db.delete("x" * 100000))
report["log_unchanged"] = os.path.getsize(wal) == wal_size
report["count_after_appends"] = db.count()
report["persist"] = attempt(db.persist)
report["snapshot_intact"] = snapshot_bytes() == before
report["reads_still_work"] = sorted(listed(db)) == sorted("i%d" % n for n in range(10))

# Vacuums meeting the full disk at each of their first few blocks (their copies, their
# graph rows written through a mapping, their journal): errors, never a crash.
report["vacuums"] = []
for in_place in ("0", "1"):
    os.environ["TARNIX_VACUUM_IN_PLACE"] = in_place
    for pages in range(12):
        fill(leave=pages * 4096)
        outcome = attempt(db.vacuum)
        report["vacuums"].append(outcome)
        if outcome != "ok" and outcome[1].startswith("store must be reopened"):
            # Given the space back, the next open finishes that vacuum.
            del db
            gc.collect()
            os.remove(filler)
            db = tarnix.TarnDB(path, False)
del os.environ["TARNIX_VACUUM_IN_PLACE"]
report["reads_after_vacuums"] = sorted(listed(db)) == sorted("i%d" % n for n in range(10))
del db
gc.collect()

# Reopening replays the log, whose records must be written into the data files again.
report["open_on_full_disk"] = attempt(lambda: tarnix.TarnDB(path, False))
gc.collect()

def new_store():
    fresh = tarnix.TarnDB(os.path.join(mount, "fresh"), False)
    fresh.add("x", vector(0), meta(0))
report["new_store_on_full_disk"] = attempt(new_store)
gc.collect()

os.remove(filler)
db = tarnix.TarnDB(path, False)
report["reopened"] = sorted(listed(db))
report["write_after_space_returns"] = attempt(lambda: db.add("i20", vector(20), meta(20)))
report["persist_after_space_returns"] = attempt(db.persist)
print(json.dumps(report))
"""


@pytest.fixture
def small_disk(tmp_path):
    mount = tmp_path / "disk"
    mount.mkdir()
    # Large enough for a store's first block reservations (about 9 MB at this dimension),
    # small enough to fill in a moment.
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(mount)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    if result.returncode != 0:
        pytest.skip("cannot mount a tmpfs here (needs root and mount rights): "
                    + result.stderr.strip())
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)


def test_a_full_disk_is_an_error_of_the_call_never_a_crash(small_disk):
    code, out, err = run(FULL_DISK, small_disk, timeout=300)
    assert code == 0, describe_exit(code, err)
    report = json.loads(out)
    full = ["OSError", ENOSPC_TEXT]
    assert report["growth"] == full
    assert report["count_after_growth"] == 10
    assert report["log_append"] == full
    assert report["batch_append"] == full
    assert report["delete_append"] == full
    assert report["log_unchanged"]
    assert report["count_after_appends"] == 10
    # persist may raise the subclass for the error kind; on a full disk that is OSError.
    assert report["persist"] == full
    assert report["snapshot_intact"]
    assert report["reads_still_work"]
    assert report["reads_after_vacuums"]
    for outcome in report["vacuums"]:
        assert outcome in ("ok", full, ["OSError", "store must be reopened: " + ENOSPC_TEXT]), \
            report["vacuums"]
    assert report["open_on_full_disk"] in ("ok", full)
    assert report["new_store_on_full_disk"] == full
    # The record of the call that met the full disk while growing may be in the log.
    reopened = set(report["reopened"])
    assert reopened - {"i10"} == {"i%d" % n for n in range(10)}
    assert report["write_after_space_returns"] == "ok"
    assert report["persist_after_space_returns"] == "ok"


DEEP = r"""
import json, sys, tarnix
depth = 100000
deep_object = '{"a":' * depth + "1" + "}" * depth
deep_array = '{"a":' + "[" * depth + "]" * depth + "}"
db = tarnix.TarnDB(sys.argv[1], False)
db.add("i0", [0.5, 0.5], '{"a":1}')
# A stream parses its filter only where projection is enabled.
projected = tarnix.TarnDB(sys.argv[1] + "-projected")
results = {}

def outcome(call):
    try:
        call()
        return "accepted"
    except ValueError as e:
        return "ValueError: " + str(e)[:30]

for name, text in (("object", deep_object), ("array", deep_array)):
    results["add/" + name] = outcome(lambda: db.add("x", [0.1, 0.2], text))
    results["add_batch/" + name] = outcome(lambda: db.add_batch(["x"], [[0.1, 0.2]], [text]))
    for method, args in (
            ("search", ([0.1, 0.2], 3, text)),
            ("search_json", ([0.1, 0.2], 3, text)),
            ("exists", (text,)),
            ("delete_by_filter", (text,)),
            ("get_all_items", (text,)),
            ("get_all_items_json", (text,)),
            ("aggregate_unique", (text, "a", "a", ["a"])),
            ("stream_pca_3d", (512, False, 0, False, text))):
        target = projected if method == "stream_pca_3d" else db
        results[method + "/" + name] = outcome(lambda: getattr(target, method)(*args))
results["count"] = db.count()
del projected
print(json.dumps(results))
"""


def test_json_nested_100000_deep_is_refused_not_a_crash(tmp_path):
    code, out, err = run(DEEP, tmp_path / "store", timeout=300)
    assert code == 0, describe_exit(code, err)
    results = json.loads(out)
    assert results.pop("count") == 1
    for name, outcome in results.items():
        kind = "JSON" if name.startswith("add") else "Filter"
        assert outcome.startswith("ValueError: Invalid %s: " % kind), (name, outcome)
