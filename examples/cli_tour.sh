#!/usr/bin/env bash
# The `tarnix` command on a small store: load, look, search, compact, draw.
#   pip install ".[cli,viewer]" && bash examples/cli_tour.sh
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - "$tmp/items.jsonl" <<'PY'
import json, random, sys
rng = random.Random(1)
with open(sys.argv[1], "w") as f:
    for i in range(2000):
        f.write(json.dumps({"id": f"item-{i}", "vector": [rng.uniform(-1, 1) for _ in range(16)],
                            "metadata": {"color": ["red", "green", "blue"][i % 3], "n": i}}) + "\n")
PY
tarnix load "$tmp/store" "$tmp/items.jsonl"
tarnix stats "$tmp/store"
tarnix search "$tmp/store" --like item-7 -k 3 --filter '{"color": "green"}'
tarnix dump "$tmp/store" --filter '{"n": {"$lt": 3}}'
tarnix persist "$tmp/store"
tarnix vacuum "$tmp/store"
tarnix verify "$tmp/store"
tarnix view "$tmp/store" --color-by color --out "$tmp/view.html"
echo "the page: $tmp/view.html (removed on exit; use --out elsewhere to keep it)"
