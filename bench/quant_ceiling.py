"""The recall ceiling that the one-byte codes allow on a data set, with and without one
scale constant per collection: the exact search over the codes, scored against the exact
float answer. Pure arithmetic, no engine involved.

    python3 bench/quant_ceiling.py s3 s1_100000 > bench/out/bench/quant.json
"""
import json
import sys

import numpy as np

import data


def ceiling(base, queries, truth_float, scale):
    found = data.exact_knn(data.codes(base * np.float32(scale)).astype(np.float32),
                           data.codes(queries * np.float32(scale)).astype(np.float32), 10)
    return float(np.mean([len(set(f) & set(t[:10])) / 10 for f, t in zip(found, truth_float)]))


def main(names):
    out = {}
    for name in names:
        base, queries, tf, _, _ = data.load_set(name)
        sample = np.abs(base[::max(1, len(base) // 20000)])
        q9999 = float(np.quantile(sample, 0.9999))
        c = data.codes(base)
        per_dim = [len(np.unique(c[:, j])) for j in range(c.shape[1])]
        out[name] = {
            "n": int(len(base)),
            "abs_max": float(np.abs(base).max()),
            "abs_q9999": q9999,
            "codes_per_component_median": float(np.median(per_dim)),
            "codes_per_component_max": int(max(per_dim)),
            "ceiling": ceiling(base, queries, tf, 1.0),
            "scale": 1.0 / q9999,
            "ceiling_scaled": ceiling(base, queries, tf, 1.0 / q9999),
        }
    json.dump(out, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main(sys.argv[1:])
