"""Draws a store with three clusters as a rotatable 3-D point cloud (needs the [viewer]
extra) and writes the page next to this file.

    python examples/viewer.py && xdg-open examples/clusters.html
"""
import json
import os
import random
import tempfile

import tarnix
from tarnix_tools import viewer

rng = random.Random(3)
centres = [[rng.uniform(-0.7, 0.7) for _ in range(12)] for _ in range(3)]
with tempfile.TemporaryDirectory() as tmp:
    with tarnix.TarnDB(f"{tmp}/store", pca_enabled=False) as db:
        ids, vectors, metas = [], [], []
        for i in range(3000):
            c = i % 3
            ids.append(f"p{i}")
            vectors.append([x + rng.gauss(0, 0.08) for x in centres[c]])
            metas.append(json.dumps({"cluster": f"c{c}", "i": i}))
        db.add_batch(ids, vectors, metas)
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "clusters.html")
    seconds, n = viewer.write_page(f"{tmp}/store", out, color_by="cluster")
    print(f"wrote {out}: {n} points in {seconds:.1f} s")
