"""The writer that the crash tests kill: runs a planned list of operations on a store.

Usage: python crash_writer.py PLAN.json

The plan is {"dir": path, "ops": [...]}, each operation one of
  ["add", id, vector, metadata_text, ttl_or_null]
  ["batch", ids, vectors, metadata_texts]
  ["del", id]
  ["dbf", filter_text]
  ["persist"]
Before operation i starts the writer prints "S i"; once the call has returned it prints
"A i", flushed before the next call begins, so every "A" line is an acknowledged write.
After the last operation it prints "D" and waits to be killed.
"""

import json
import sys
import time

import tarnix


def main():
    with open(sys.argv[1]) as f:
        plan = json.load(f)
    db = tarnix.TarnDB(plan["dir"], pca_enabled=False)
    out = sys.stdout
    for i, op in enumerate(plan["ops"]):
        out.write("S %d\n" % i)
        out.flush()
        kind = op[0]
        if kind == "add":
            db.add(op[1], op[2], op[3], None, op[4])
        elif kind == "batch":
            db.add_batch(op[1], op[2], op[3])
        elif kind == "del":
            db.delete(op[1])
        elif kind == "dbf":
            db.delete_by_filter(op[1])
        elif kind == "persist":
            db.persist()
        else:
            raise ValueError("unknown operation %r" % (kind,))
        out.write("A %d\n" % i)
        out.flush()
    out.write("D\n")
    out.flush()
    while True:
        time.sleep(60)


if __name__ == "__main__":
    main()
