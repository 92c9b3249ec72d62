"""A tour of Tarnix on a store in a temporary directory.

Run with `make demo` (which builds and installs the extension first).
"""
import json
import random
import tempfile

import tarnix


def vector(rng, dim=16):
    return [rng.uniform(-1.0, 1.0) for _ in range(dim)]


def main():
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/store"
        db = tarnix.TarnDB(path, pca_enabled=False)
        print(f"Opened a new store in {path}: {db.count()} items")

        colors = ["red", "green", "blue"]
        ids = [f"item-{i}" for i in range(1000)]
        vectors = [vector(rng) for _ in ids]
        metadatas = [
            json.dumps({"color": colors[i % 3], "price": round(rng.uniform(1, 100), 2), "n": i})
            for i in range(len(ids))
        ]
        db.add_batch(ids, vectors, metadatas)
        db.add("special", vectors[0], json.dumps({"color": "gold", "price": 999}), ttl=3600)
        print(f"Added {db.count()} items")

        print("\nThe 3 nearest to item-0:")
        for id_, score, meta in db.search(vectors[0], 3):
            print(f"  {id_:10} distance {score:8.0f}  {meta}")

        print("\nThe 3 nearest among cheap red items (filter on metadata):")
        cheap_red = json.dumps({"color": "red", "price": {"$lt": 20}})
        for id_, score, meta in db.search(vectors[0], 3, cheap_red):
            print(f"  {id_:10} distance {score:8.0f}  {meta}")

        print("\nThe same as one JSON text:", db.search_json(vectors[0], 1, cheap_red))
        print("Any gold item?", db.exists('{"color": "gold"}'))
        print("Most expensive item per color:",
              db.aggregate_unique("{}", "color", "price", ["n", "price"]))

        deleted = db.delete_by_filter(json.dumps({"price": {"$gte": 90}}))
        db.delete("item-1")
        print(f"\nDeleted {deleted} items priced 90 or more, and item-1: {db.count()} left")

        db.persist()
        del db
        db = tarnix.TarnDB(path, pca_enabled=False)
        print(f"Reopened after persist: {db.count()} items")
        print("Nearest to item-0 after reopening:", db.search(vectors[0], 1, load_metadata=False))


if __name__ == "__main__":
    main()
