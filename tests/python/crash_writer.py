"""The writer that the crash tests kill: runs a planned list of operations on a store.

Usage: python crash_writer.py PLAN.json

The plan is {"dir": path, "ops": [...]}, each operation one of
  ["add", id, vector, metadata_text, ttl_or_null]
  ["batch", ids, vectors, metadata_texts]
  ["del", id]
  ["dbf", filter_text]
  ["persist"]
  ["vacuum"]
Before operation i starts the writer prints "S i"; once the call has returned it prints
"A i", flushed before the next call begins, so every "A" line is an acknowledged write.
After the last operation it prints "D" and waits to be killed.
"""

import json
import sys
import time

import tarnix
from store_model import apply_op


def main():
    with open(sys.argv[1]) as f:
        plan = json.load(f)
    db = tarnix.TarnDB(plan["dir"], pca_enabled=False)
    out = sys.stdout
    for i, op in enumerate(plan["ops"]):
        out.write("S %d\n" % i)
        out.flush()
        apply_op(db, op)
        out.write("A %d\n" % i)
        out.flush()
    out.write("D\n")
    out.flush()
    while True:
        time.sleep(60)


if __name__ == "__main__":
    main()
