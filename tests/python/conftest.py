"""Shared fixtures and model helpers for the Python suite.

Every test works on a real store in its own temporary directory. Projection is off by
default: the worker thread adds nothing to what these tests check and only costs time.
"""

import gc
import os
import platform
import random

import pytest

import tarnix
# The quantization model, re-exported for the tests that import it from here.
from store_model import code as q, codes, distance, f32  # noqa: F401

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
