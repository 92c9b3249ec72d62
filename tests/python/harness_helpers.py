"""Helpers for the fault, disk-full and multi-process suites.

Stores are opened with projection off; the worker thread adds nothing to what these suites
check. Child interpreters run with the same interpreter and module path as the tests.
"""

import gc
import json
import math
import os
import platform
import struct
import subprocess
import sys

import tarnix

IS_PYPY = platform.python_implementation() == "PyPy"

ENOSPC_TEXT = "No space left on device (os error 28)"
EIO_TEXT = "Input/output error (os error 5)"
WRITER_BUSY_TEXT = "store is being written by another process"


def open_store(path):
    return tarnix.TarnDB(str(path), False)


def collect():
    """Frees the stores the caller has let go of: PyPy frees an object (and with it the
    store's files, locks and claim to write) only when it collects."""
    gc.collect()


def vector(n, dim=4):
    return [math.sin(1.7 * n + i) for i in range(dim)]


def meta(n, tag=None):
    """Compact, keys in order: the form the store keeps, so listings compare as text."""
    m = {"k": "i%d" % n, "n": n}
    if tag is not None:
        m["tag"] = tag
    return json.dumps(m, separators=(",", ":"), sort_keys=True)


def item_vector(ident, version, dim=8):
    """A vector that only this id and version of it have."""
    seed = sum(ord(c) * 31 ** i for i, c in enumerate(ident)) % 1000
    return [math.sin(0.37 * seed + 1.3 * version + 0.9 * i) for i in range(dim)]


def item_meta(ident, version, writer="a"):
    """Metadata naming its own id and version, compact and keys in order."""
    return json.dumps({"g": int(ident[1:]) % 7, "id": ident, "v": version, "w": writer},
                      separators=(",", ":"), sort_keys=True)


def listed(db, filter_json="{}"):
    """The store's items by the id kept in their metadata: {id: metadata text}."""
    out = {}
    for text in db.get_all_items(filter_json):
        k = json.loads(text)["k"]
        assert k not in out, "item %s listed twice" % k
        out[k] = text
    return out


def gate_words(path):
    with open(os.path.join(str(path), ".proc_lock"), "rb") as f:
        return struct.unpack("<QQ", f.read(16))


def file_size(path, name):
    return os.path.getsize(os.path.join(str(path), name))


def child_env(**extra):
    env = dict(os.environ)
    env.pop("TARNIX_TEST_FAULT_INJECTION", None)
    env.pop("TARNIX_TEST_FAULT", None)
    # The module under test is found the way this process found it.
    module_dir = os.path.dirname(os.path.abspath(tarnix.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir, os.path.dirname(os.path.abspath(__file__))]
        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    env.update({k: str(v) for k, v in extra.items()})
    return env


def spawn(script, *args, stdin=False, **env):
    """Starts `python -c script args...`; output is captured, input piped when asked."""
    return subprocess.Popen(
        [sys.executable, "-c", script] + [str(a) for a in args],
        env=child_env(**env), stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def finish(proc, timeout):
    """Waits for a child; a hang is killed and reported, never waited on forever."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        raise AssertionError("child hung:\n%s\n%s" % (out[-2000:], err[-4000:]))
    return proc.returncode, out, err


def run(script, *args, timeout=120, **env):
    return finish(spawn(script, *args, **env), timeout)


def describe_exit(code, err):
    if code < 0:
        return "killed by signal %d\n%s" % (-code, err[-4000:])
    return "exit %d\n%s" % (code, err[-4000:])
