"""The `tarnix` command line, run as a user would (a separate process): what it prints,
its exit codes, and that reading commands never create or change a store."""

import json
import os
import struct
import subprocess
import sys

import pytest

pytest.importorskip("click", reason="the command line needs click (the [cli] extra)")
pytest.importorskip("rich", reason="the command line needs rich (the [cli] extra)")

from conftest import open_store  # noqa: E402


def tarnix_cli(*args, check=None):
    proc = subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, args)],
                          capture_output=True, text=True, timeout=120)
    if check is not None:
        assert proc.returncode == check, (proc.stdout, proc.stderr)
    return proc


def write_items(path, n, dim=6):
    with open(path, "w") as f:
        for i in range(n):
            vec = [((i * 7 + j * 3) % 19) / 9.5 - 1 for j in range(dim)]
            f.write(json.dumps({"id": f"i{i}", "vector": vec,
                                "metadata": {"g": i % 3, "c": ["red", "blue"][i % 2]}}) + "\n")


def test_load_stats_search_dump_persist_vacuum_verify(tmp_path):
    items, store = tmp_path / "items.jsonl", tmp_path / "store"
    write_items(items, 300)
    assert "loaded 300 items" in tarnix_cli("load", store, items, "--batch-size", 64,
                                            check=0).stderr
    stats = json.loads(tarnix_cli("stats", store, "--json", check=0).stdout)
    assert (stats["items"], stats["dimension"], stats["log_records"]) == (300, 6, 300)
    assert stats["snapshot_time"] is None and stats["log_torn_tail_bytes"] == 0

    hits = [json.loads(line) for line in
            tarnix_cli("search", store, "--like", "i7", "-k", 4, "--filter", '{"c":"blue"}',
                       check=0).stdout.splitlines()]
    assert hits[0] == {"id": "i7", "score": 0.0, "metadata": {"c": "blue", "g": 1}}
    assert len(hits) == 4 and all(h["metadata"]["c"] == "blue" for h in hits)
    assert [h["score"] for h in hits] == sorted(h["score"] for h in hits)

    dumped = [json.loads(line) for line in
              tarnix_cli("dump", store, "--filter", '{"g":2}', check=0).stdout.splitlines()]
    assert sorted(d["id"] for d in dumped) == sorted(f"i{i}" for i in range(2, 300, 3))

    db = open_store(store)
    assert db.delete_by_filter('{"g":0}') == 100
    db.close()
    tarnix_cli("persist", store, check=0)
    stats = json.loads(tarnix_cli("stats", store, "--json", check=0).stdout)
    assert stats["items"] == 200 and stats["log_records"] == 0 and stats["snapshot_time"]

    for extra in ([], ["--in-place"]):
        out = tarnix_cli("vacuum", store, *extra, check=0).stdout
        assert out.startswith("vacuumed 200 items"), out
    assert int(out.split(", ")[-1].split()[0]) >= 0
    assert tarnix_cli("verify", store, check=0).stdout.startswith("OK 200 items")
    assert len(tarnix_cli("dump", store, check=0).stdout.splitlines()) == 200


def test_load_npy_with_ids_and_metadata(tmp_path):
    np = pytest.importorskip("numpy")
    vectors = np.linspace(-1, 1, 40 * 4, dtype=np.float32).reshape(40, 4)
    np.save(tmp_path / "v.npy", vectors)
    (tmp_path / "ids.txt").write_text("".join(f"n{i}\n" for i in range(40)))
    (tmp_path / "meta.jsonl").write_text("".join('{"k":%d}\n' % i for i in range(40)))
    store = tmp_path / "s"
    tarnix_cli("load", store, tmp_path / "v.npy", "--ids", tmp_path / "ids.txt",
               "--metadata", tmp_path / "meta.jsonl", check=0)
    hit = json.loads(tarnix_cli("search", store, "--vector", json.dumps(vectors[9].tolist()),
                                "-k", 1, check=0).stdout)
    assert hit == {"id": "n9", "score": 0.0, "metadata": {"k": 9}}
    (tmp_path / "short.txt").write_text("a\n")
    proc = tarnix_cli("load", store, tmp_path / "v.npy", "--ids", tmp_path / "short.txt",
                      check=1)
    assert "1 ids for 40 vectors" in proc.stderr


def test_user_mistakes_are_one_line_and_exit_1(tmp_path):
    store = tmp_path / "store"
    write_items(tmp_path / "items.jsonl", 5)
    tarnix_cli("load", store, tmp_path / "items.jsonl", check=0)
    plain = tmp_path / "plain"
    plain.mkdir()
    (tmp_path / "bad.jsonl").write_text('{"id": "a", "vector": [0.1]}\nnot json\n')
    missing = tmp_path / "missing"
    cases = [
        (("stats", missing), "no such directory"),
        (("verify", missing), "no such directory"),
        (("dump", plain), "not a tarnix store"),
        (("search", plain, "--vector", "[0.1]"), "not a tarnix store"),
        (("vacuum", missing), "no such directory"),
        (("persist", plain), "not a tarnix store"),
        (("view", missing), "no such directory"),
        (("search", store, "--vector", "[0.1, 0.2]"), "components"),
        (("search", store, "--vector", '"x"'), "JSON array of numbers"),
        (("search", store, "--like", "nobody"), "no item with id 'nobody'"),
        (("search", store), "exactly one of --vector and --like"),
        (("dump", store, "--filter", "{"), "not valid JSON"),
        (("dump", store, "--filter", "[1]"), "JSON object"),
        (("load", tmp_path / "fresh", tmp_path / "bad.jsonl"), "bad.jsonl:2"),
        (("search", store, "--vector", "[0.1]", "-k", 0), "-k"),
        (("frobnicate", store), "No such command"),
    ]
    for args, message in cases:
        proc = tarnix_cli(*args, check=1)
        assert proc.stdout == "", args
        assert len(proc.stderr.splitlines()) == 1 and message in proc.stderr, (args, proc.stderr)
        assert "Traceback" not in proc.stderr
    assert not missing.exists() and os.listdir(plain) == []
    # The bad line is found before its batch is added, and before the store is created.
    assert not (tmp_path / "fresh").exists()


def test_verify_finds_a_damaged_id_record(tmp_path):
    store = tmp_path / "store"
    write_items(tmp_path / "items.jsonl", 20)
    tarnix_cli("load", store, tmp_path / "items.jsonl", check=0)
    tarnix_cli("persist", store, check=0)  # the log would otherwise restore the records
    # Slot 0 holds i0; its id record becomes "X0".
    offset = struct.unpack("<Q", (store / "offsets.bin").read_bytes()[:8])[0]
    with open(store / "ids.bin", "r+b") as f:
        f.seek(offset + 4)
        assert f.read(2) == b"i0"
        f.seek(offset + 4)
        f.write(b"X")
    proc = tarnix_cli("verify", store, check=1)
    assert "FAIL item 'X0' is not found by its own vector" in proc.stdout
