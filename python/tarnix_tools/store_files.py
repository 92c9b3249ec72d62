"""What the tools read straight from a store directory: its size and layout, the record
counts of the log, and the stored codes of an item (the public API returns no vectors).

Nothing here writes; opening is left to the extension."""

import os
import struct
import sys
import time

import tarnix

DATA_FILES = ("vectors.bin", "graph.bin", "offsets.bin", "ids.bin", "meta_offsets.bin",
              "metadata.bin", "snapshot.bin", "wal.bin")
GRAPH_ROW = 48
OFFSET_SIZE = 8


class StoreError(Exception):
    """A user mistake or an unusable store, reported as one line."""


def is_store(path):
    return os.path.isfile(os.path.join(path, "wal.bin")) or os.path.isfile(
        os.path.join(path, "vectors.bin"))


def require_store(path):
    if not os.path.exists(path):
        raise StoreError(f"{path}: no such directory")
    if not os.path.isdir(path):
        raise StoreError(f"{path}: not a directory")
    if not is_store(path):
        raise StoreError(f"{path}: not a tarnix store (no wal.bin or vectors.bin)")


def open_existing(path, pca_enabled=False):
    """Opens a store that must already exist; TarnDB itself would create an empty one."""
    require_store(path)
    return tarnix.TarnDB(str(path), pca_enabled)


def _read_u64(f):
    data = f.read(8)
    if len(data) < 8:
        raise EOFError
    return struct.unpack("<Q", data)[0]


def _skip_string(f):
    n = _read_u64(f)
    if len(f.read(n)) < n:
        raise EOFError


def _log_entries(f):
    """Yields (kind, component count) for each whole record of wal.bin (0 insert, 1 delete),
    stopping at the first record that is cut off or unreadable."""
    while True:
        head = f.read(4)
        if len(head) < 4:
            return
        kind = struct.unpack("<I", head)[0]
        try:
            _skip_string(f)  # id
            n = 0
            if kind == 0:
                n = _read_u64(f)
                if len(f.read(4 * n)) < 4 * n:
                    return
                _skip_string(f)  # metadata
                tag = f.read(1)
                if tag == b"\x01":
                    for _ in range(_read_u64(f)):
                        _skip_string(f)
                elif tag != b"\x00":
                    return
                tag = f.read(1)
                if tag == b"\x01":
                    if len(f.read(4)) < 4:
                        return
                elif tag != b"\x00":
                    return
            elif kind != 1:
                return
        except EOFError:
            return
        yield kind, n, f.tell()


def log_records(path):
    """Counts (inserts, deletes, bytes after the last whole record) of wal.bin."""
    name = os.path.join(path, "wal.bin")
    if not os.path.exists(name):
        return 0, 0, 0
    counts = [0, 0]
    good = 0
    with open(name, "rb") as f:
        for kind, _, end in _log_entries(f):
            counts[kind] += 1
            good = end
    return counts[0], counts[1], os.path.getsize(name) - good


def dimension(path):
    """The store's dimension from the snapshot, or else the log's first insert; 0 when no
    vector was ever stored."""
    snap = os.path.join(path, "snapshot.bin")
    if os.path.exists(snap) and os.path.getsize(snap) >= 8:
        with open(snap, "rb") as f:
            dim = _read_u64(f)
        if dim:
            return dim
    name = os.path.join(path, "wal.bin")
    if os.path.exists(name):
        with open(name, "rb") as f:
            for kind, n, _ in _log_entries(f):
                if kind == 0 and n:
                    return n
    return 0


def file_sizes(path):
    return {name: os.path.getsize(os.path.join(path, name))
            for name in DATA_FILES if os.path.exists(os.path.join(path, name))}


def blob_records(path, name):
    """The offsets and payloads of the length-prefixed records of ids.bin or metadata.bin."""
    out = []
    with open(os.path.join(path, name), "rb") as f:
        data = f.read()
    pos = 0
    while pos + 4 <= len(data):
        n = struct.unpack_from("<I", data, pos)[0]
        if pos + 4 + n > len(data):
            break
        out.append((pos, data[pos + 4:pos + 4 + n]))
        pos += 4 + n
    return out, len(data) - pos


def capacity(path, dim):
    sizes = file_sizes(path)
    if not dim:
        return 0
    return min(sizes.get("vectors.bin", 0) // dim, sizes.get("graph.bin", 0) // GRAPH_ROW,
               sizes.get("offsets.bin", 0) // OFFSET_SIZE,
               sizes.get("meta_offsets.bin", 0) // OFFSET_SIZE)


def slots_by_id(path, dim):
    """Maps each external id to the slots whose offset names one of its id records (an id
    replaced or deleted may name several; the caller tells the live one apart)."""
    import array

    records, _ = blob_records(path, "ids.bin")
    by_offset = {off: raw.decode("utf-8", "replace") for off, raw in records}
    offsets = array.array("Q")
    with open(os.path.join(path, "offsets.bin"), "rb") as f:
        offsets.frombytes(f.read(capacity(path, dim) * OFFSET_SIZE))
    if sys.byteorder != "little":
        offsets.byteswap()
    out = {}
    for slot, off in enumerate(offsets):
        item_id = by_offset.get(off)
        if item_id is not None:
            out.setdefault(item_id, []).append(slot)
    return out


def stored_vector(path, dim, slot):
    """The vector a slot's codes stand for: the middle of each code's interval, so that
    quantizing it again gives the same codes."""
    with open(os.path.join(path, "vectors.bin"), "rb") as f:
        f.seek(slot * dim)
        codes = f.read(dim)
    return [(c + 0.5) / 127.5 - 1.0 for c in codes]


def vector_of(db, path, item_id, slots=None):
    """The stored vector of a live item, or None when the store has no such item. `slots`
    (from slots_by_id) saves reading the id file again when asking for many items."""
    dim = dimension(path)
    if not dim:
        return None
    import json

    if slots is None:
        slots = slots_by_id(path, dim)
    id_filter = json.dumps({"_id": item_id})
    for slot in slots.get(item_id, []):
        vector = stored_vector(path, dim, slot)
        hits = db.search(vector, 1, id_filter, False)
        if hits and hits[0][0] == item_id and hits[0][1] == 0.0:
            return vector
    return None


def store_stats(path):
    """Counts and sizes of a store, from its files and from an open with the projection off."""
    require_store(path)
    dim = dimension(path)
    sizes = file_sizes(path)
    inserts, deletes, torn = log_records(path)
    id_records, _ = blob_records(path, "ids.bin") if "ids.bin" in sizes else ([], 0)
    with open_existing(path) as db:
        items = db.count()
    snap = os.path.join(path, "snapshot.bin")
    snapshot_time = (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(os.path.getmtime(snap)))
                     if os.path.exists(snap) else None)
    return {
        "items": items,
        "dimension": dim,
        "capacity": capacity(path, dim),
        # Slots written but no longer live: deleted items and the old records of replaced
        # ones, which vacuum drops.
        "stale_records": max(0, len(id_records) - items),
        "log_records": inserts + deletes,
        "log_inserts": inserts,
        "log_deletes": deletes,
        "log_bytes": sizes.get("wal.bin", 0),
        "log_torn_tail_bytes": torn,
        "snapshot_time": snapshot_time,
        "file_sizes": sizes,
        "total_bytes": sum(sizes.values()),
    }
