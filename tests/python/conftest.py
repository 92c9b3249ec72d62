"""Shared fixtures and model helpers for the Python suite.

Every test works on a real store in its own temporary directory. Projection is off by
default: the worker thread adds nothing to what these tests check and only costs time.
"""

import gc
import math
import os
import platform
import random
import struct

import pytest

import tarnix

IS_PYPY = platform.python_implementation() == "PyPy"


def open_store(path, pca_enabled=False):
    return tarnix.TarnDB(str(path), pca_enabled=pca_enabled)


def collect():
    """Makes sure dropped stores have released their files and their claim to write.

    CPython frees a store as its last reference goes; PyPy only when it collects.
    """
    if IS_PYPY:
        gc.collect()


@pytest.fixture
def store_path(tmp_path):
    return tmp_path / "store"


@pytest.fixture
def db(store_path):
    return open_store(store_path)


def file_size(path, name):
    return os.path.getsize(os.path.join(str(path), name))


def f32(x):
    """Rounds a Python float to the nearest 32-bit float, as the store's conversion does."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # beyond the 32-bit range
        return math.copysign(math.inf, x)


def q(x):
    """The byte code of one vector component, in single-precision arithmetic.

    Each step is rounded to 32 bits; rounding an exact double result of one operation on
    32-bit inputs to 32 bits gives the single-precision result.
    """
    if isinstance(x, float) and math.isnan(x):
        return 0
    x = f32(x)
    x = min(max(x, -1.0), 1.0)
    y = f32(f32(x + 1.0) * 127.5)
    if y < 0:
        return 0
    if y > 255:
        return 255
    return int(y)


def codes(vector):
    return [q(x) for x in vector]


def distance(a_codes, b_codes):
    return sum((a - b) * (a - b) for a, b in zip(a_codes, b_codes))


def brute_force(query, items, k):
    """The k nearest of `items` (a list of (slot, id, codes)) as (distance, slot, id) in
    ascending (distance, slot) order."""
    qc = codes(query)
    ranked = sorted((distance(qc, c), slot, ident) for slot, ident, c in items)
    return ranked[:k]


def random_vectors(rng, n, dim):
    return [[rng.uniform(-1.0, 1.0) for _ in range(dim)] for _ in range(n)]


@pytest.fixture
def rng():
    return random.Random(1234)
