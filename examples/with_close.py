"""`with` and close(): a store lets go of its directory as the block ends, so another store
(or process) can open and write it at once, on every interpreter.

    python examples/with_close.py
"""
import tempfile

import tarnix

with tempfile.TemporaryDirectory() as tmp:
    with tarnix.TarnDB(f"{tmp}/store", pca_enabled=False) as db:
        db.add("a", [0.1, 0.2, 0.3], '{"kind": "first"}')
    # db is closed: its calls raise ValueError("store is closed").
    with tarnix.TarnDB(f"{tmp}/store", pca_enabled=False) as again:
        again.add("b", [0.3, 0.2, 0.1], '{"kind": "second"}')
        print(again.count(), "items;", again.search([0.1, 0.2, 0.3], 1))
