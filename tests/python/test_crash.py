"""Crash tests: a writer process is killed with SIGKILL at seeded random moments, the store is
reopened, and everything the writer acknowledged must be there, with nothing else changed.

Each round starts a fresh writer (crash_writer.py) on the same directory with a seeded plan
of adds, batches, deletes, filter deletes, persists and vacuums, kills it at a chosen moment, then
reopens the store here, checks it against the model (the one call that was in flight may
have taken effect or not), checks that it takes a new write, and closes it again so the next
writer can claim the directory.
"""

import gc
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import tarnix
from harness_helpers import EMULATED, INTERPRETER
from store_model import StoreModel, verify

# Each round starts an interpreter and kills it at a moment chosen against the writer's
# progress: under emulation an interpreter takes seconds to start and the few hundred rounds
# hours, and the emulator's own threads decide where a kill lands.
pytestmark = pytest.mark.skipif(
    EMULATED, reason="kill -9 rounds: hours under emulation, and the emulator decides where "
    "kills land; run natively by make test")

WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "crash_writer.py")
WARNING = "Tarnix Warning"
GROUPS = ["red", "green", "blue"]
TAGS = ["t%d" % i for i in range(6)]

# Filters the verifier checks after every round; the delete filters each match a few percent.
CHECK_FILTERS = [
    {"grp": "red"},
    {"flag": True},
    {"tags": "t2"},
    {"n": {"$gte": 50}},
    {"n": {"$lt": 10}},
    {"$or": [{"grp": "blue", "n": {"$gt": 80}}, {"tags": {"$in": ["t5"]}}]},
    {"$not": {"grp": {"$in": ["red", "green"]}}},
    {"w": {"$exists": False}},
]
DELETE_FILTERS = [
    {"grp": "red", "n": {"$lt": 6}},
    {"n": {"$gte": 96}},
    {"$and": [{"grp": "blue"}, {"flag": True}, {"n": {"$lt": 12}}]},
    {"n": {"$in": [7, 17, 27, 37]}},
    {"tags": "t4", "n": {"$lte": 10}},
]

# `make stress` multiplies the rounds (thousands of kills instead of about sixty).
ROUND_SCALE = int(os.environ.get("TARNIX_CRASH_ROUND_SCALE", "1"))

WORKLOADS = {
    # Many small calls on an 8-dimensional store.
    "mixed": dict(dim=8, ids=250, ops=(12, 40), batch=(2, 12), rounds=32),
    # Fewer, larger batches on a 64-dimensional store: a batch's records span several pages,
    # so a kill can leave a prefix of them in the log.
    "batches": dict(dim=64, ids=600, ops=(4, 14), batch=(20, 160), rounds=26),
}


class Workload:
    """Plans operations from the model, so deletes name ids that exist."""

    def __init__(self, rng, params, writer=None):
        self.rng = rng
        self.params = params
        self.version = 0
        # With several writers on one directory, each keeps to ids and items of its own.
        self.writer = writer

    def vector(self, sim):
        rng = self.rng
        if sim.items and rng.random() < 0.05:
            # Equal codes make distance ties.
            return list(rng.choice(list(sim.items.values())).vector)
        return [round(rng.uniform(-1.2, 1.2), 4) for _ in range(self.params["dim"])]

    def metadata(self, id):
        rng = self.rng
        self.version += 1
        meta = {"id": id, "v": self.version, "grp": rng.choice(GROUPS), "n": rng.randrange(100),
                "flag": rng.random() < 0.5, "tags": rng.sample(TAGS, rng.randrange(3))}
        if rng.random() < 0.5:
            meta["w"] = rng.uniform(-5, 5)
        if self.writer:
            meta["writer"] = self.writer
        return json.dumps(meta)

    def new_id(self):
        return "%s%04d" % (self.writer or "k", self.rng.randrange(self.params["ids"]))

    def delete_filter(self):
        f = self.rng.choice(DELETE_FILTERS)
        return json.dumps({"$and": [{"writer": self.writer}, f]} if self.writer else f)

    def plan(self, sim, n):
        rng = self.rng
        ops = []
        for _ in range(n):
            r = rng.random()
            if r < 0.45 or not sim.items:
                id = self.new_id()
                ttl = 10 ** 6 if rng.random() < 0.1 else None
                op = ["add", id, self.vector(sim), self.metadata(id), ttl]
            elif r < 0.62:
                size = rng.randint(*self.params["batch"])
                ids = [self.new_id() for _ in range(size)]
                op = ["batch", ids, [self.vector(sim) for _ in ids], [self.metadata(i) for i in ids]]
            elif r < 0.80:
                id = rng.choice(sorted(sim.items)) if rng.random() < 0.9 else self.new_id()
                op = ["del", id]
            elif r < 0.86:
                op = ["dbf", self.delete_filter()]
            elif r < 0.94:
                op = ["persist"]
            else:
                op = ["vacuum"]
            sim.apply(op)
            ops.append(op)
        return ops


class Child:
    """A running writer and its acknowledgement lines."""

    def __init__(self, plan_path, env, stderr):
        self.proc = subprocess.Popen(INTERPRETER + [WRITER, plan_path], stdout=subprocess.PIPE,
                                     stderr=stderr, env=env)
        self.buffer = b""
        self.lines = []

    def read_until(self, wanted, timeout=60.0):
        """Reads lines until `wanted` arrives; False when the writer ended first."""
        deadline = time.monotonic() + timeout
        while wanted not in self.lines:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("writer did not print %r in time" % wanted)
            if not self.read_some(left):
                return False
        return True

    def read_some(self, timeout):
        """Takes what the writer printed within `timeout` seconds; False once it ended."""
        fd = self.proc.stdout.fileno()
        if select.select([fd], [], [], timeout)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                return False
            self.take(chunk)
        return True

    def take(self, chunk):
        self.buffer += chunk
        *done, self.buffer = self.buffer.split(b"\n")
        self.lines.extend(line.decode() for line in done)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        rest = self.proc.stdout.read()
        self.proc.wait()
        self.proc.stdout.close()
        self.take(rest)
        return self.proc.returncode

    def marks(self, letter):
        return [int(line[2:]) for line in self.lines if line.startswith(letter + " ")]


def collect():
    """Runs the collector, so that a store the caller has just dropped is really gone (and its
    writer role released) before the next writer starts; PyPy frees objects only then."""
    gc.collect()
    gc.collect()


def wait_for_file(path, child, done_line, deadline):
    """Polls without sleeping until `path` exists (True), or the writer printed `done_line` or
    exited (False): a kill that follows lands within microseconds of the file's creation. A
    descheduled poller may miss a file that lives only briefly."""
    polls = 0
    while not os.path.exists(path):
        polls += 1
        if polls % 256:
            continue
        if not child.read_some(0) or done_line in child.lines:
            return False
        if time.monotonic() > deadline:
            raise AssertionError("%s did not appear in time" % path)
    return True


def spin(seconds):
    """Waits on the clock rather than in the scheduler, which may oversleep by a millisecond."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def run_round(tmp_path, directory, rng, workload, model, round_no, capfd):
    params = workload.params
    ops = workload.plan(model.copy(), rng.randint(*params["ops"]))
    plan_path = str(tmp_path / "plan.json")
    with open(plan_path, "w") as f:
        json.dump({"dir": directory, "ops": ops}, f)
    env = dict(os.environ)
    sync_every_write = rng.random() < 0.5
    if sync_every_write:
        env["TARNIX_WAL_SYNC_INTERVAL_MS"] = "0"
    else:
        env.pop("TARNIX_WAL_SYNC_INTERVAL_MS", None)
    env["TARNIX_VACUUM_IN_PLACE"] = rng.choice(["0", "1"])

    # Where to kill: at a random moment of the open, shortly after a chosen operation began
    # (a persist or vacuum more often, since they have the most steps), or after everything.
    r = rng.random()
    persists = [i for i, op in enumerate(ops) if op[0] in ("persist", "vacuum")]
    if r < 0.08:
        target, delay = None, rng.uniform(0.0, 0.25)
    elif r < 0.35 and persists:
        target, delay = rng.choice(persists), rng.uniform(0.0, 0.02)
    elif r < 0.95:
        target, delay = rng.randrange(len(ops)), rng.uniform(0.0, 0.004)
    else:
        target, delay = "D", 0.0

    stderr_path = str(tmp_path / ("writer%d.err" % round_no))
    with open(stderr_path, "wb") as stderr:
        child = Child(plan_path, env, stderr)
        try:
            if target is None:
                time.sleep(delay)
            else:
                wanted = "D" if target == "D" else "S %d" % target
                if not child.read_until(wanted):
                    child.proc.wait()
                    raise AssertionError("writer exited with %s before %r" %
                                         (child.proc.returncode, wanted))
                time.sleep(delay)
        finally:
            code = child.kill()
    with open(stderr_path) as f:
        err = f.read()
    assert code == -signal.SIGKILL, "writer ended with %s: %s" % (code, err)
    assert WARNING not in err and "Traceback" not in err, err

    acked = child.marks("A")
    started = child.marks("S")
    assert acked == list(range(len(acked))), "acknowledgements out of order: %r" % acked
    for op in ops[:len(acked)]:
        model.apply(op)
    pending = ops[len(acked)] if len(started) > len(acked) else None

    capfd.readouterr()
    db = tarnix.TarnDB(directory, pca_enabled=False)
    out, err = capfd.readouterr()
    assert WARNING not in err, err
    context = "round %d (sync=%s, target=%r, acked %d of %d, pending %r)" % (
        round_no, sync_every_write, target, len(acked), len(ops), pending and pending[0])
    try:
        model = verify(db, model, indeterminate=pending, rng=rng, filters=CHECK_FILTERS,
                       queries=3)
    except AssertionError as e:
        raise AssertionError("%s: %s" % (context, e)) from None

    # The store takes a new write after the crash, and it is there at once.
    probe = "probe%d" % round_no
    vec = workload.vector(model)
    meta = workload.metadata(probe)
    db.add(probe, vec, meta)
    model.add(probe, vec, meta)
    assert db.count() == len(model.items), context
    hit = db.search(vec, 1, json.dumps({"_id": probe}))
    assert hit and hit[0][0] == probe and hit[0][1] == 0.0, context
    del db
    collect()
    return model


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_killed_writer_loses_no_acknowledged_write(tmp_path, capfd, name):
    params = WORKLOADS[name]
    rng = random.Random("crash-" + name)
    workload = Workload(rng, params)
    directory = str(tmp_path / "store")
    model = StoreModel()
    for round_no in range(params["rounds"] * ROUND_SCALE):
        model = run_round(tmp_path, directory, rng, workload, model, round_no, capfd)
    # A last clean open sees the same state.
    capfd.readouterr()
    db = tarnix.TarnDB(directory, pca_enabled=False)
    verify(db, model, rng=rng, filters=CHECK_FILTERS)
    del db
    collect()
    assert WARNING not in capfd.readouterr().err


# A vacuum of a store this size takes long enough for kills to land all over it.
VACUUM_ITEMS = 20000
VACUUM_DIM = 16
VACUUM_ROUNDS = 50
VACUUM_LEFTOVERS = (".vac", ".ipvac", ".tmp")


def vacuum_source(directory, rng):
    """A store of 20,000 items with a third of them deleted, the deletes only in the log; and
    its model."""
    db = tarnix.TarnDB(directory, pca_enabled=False)
    model = StoreModel()
    ids = ["v%05d" % i for i in range(VACUUM_ITEMS)]
    vectors = [[rng.uniform(-1, 1) for _ in range(VACUUM_DIM)] for _ in ids]
    metas = [json.dumps({"id": i, "grp": rng.choice(GROUPS), "n": rng.randrange(100),
                         "flag": rng.random() < 0.5}) for i in ids]
    db.add_batch(ids, vectors, metas)
    model.add_batch(ids, vectors, metas)
    db.persist()
    for i in rng.sample(ids, VACUUM_ITEMS // 3):
        db.delete(i)
        model.delete(i)
    del db
    collect()
    return model


def vacuum_leftovers(directory):
    """What an open that finished or discarded a vacuum must not leave. (A snapshot staged by
    the in-place vacuum's first checkpoint is a persist's leftover, rewritten when needed.)"""
    return sorted(f for f in os.listdir(directory)
                  if (f.endswith(VACUUM_LEFTOVERS) or f.startswith("vacuum"))
                  and f != "snapshot.bin.tmp")


@pytest.mark.parametrize("mode", ["rewrite", "in_place"])
def test_killed_vacuum_changes_no_content(tmp_path, capfd, mode):
    rng = random.Random("vacuum-crash-" + mode)
    source = str(tmp_path / "source")
    model = vacuum_source(source, rng)
    plan_path = str(tmp_path / "plan.json")
    directory = str(tmp_path / "store")
    with open(plan_path, "w") as f:
        json.dump({"dir": directory, "ops": [["vacuum"]]}, f)

    def run_writer(env, kill_after, at_commit=False):
        """Starts a writer on a fresh copy of the source and kills it `kill_after` seconds into
        its vacuum (None: once the vacuum returned), or that long after its commit marker
        appeared; returns how long the vacuum ran, if it finished."""
        shutil.rmtree(directory, ignore_errors=True)
        shutil.copytree(source, directory)
        with open(str(tmp_path / "writer.err"), "wb") as stderr:
            child = Child(plan_path, env, stderr)
            try:
                assert child.read_until("S 0"), "writer exited before its vacuum"
                began = time.monotonic()
                if kill_after is None:
                    assert child.read_until("A 0")
                elif at_commit:
                    if wait_for_file(marker, child, "A 0", began + 3 * duration + 10):
                        spin(kill_after)
                else:
                    time.sleep(kill_after)
                took = time.monotonic() - began
            finally:
                code = child.kill()
        assert code == -signal.SIGKILL
        with open(str(tmp_path / "writer.err")) as f:
            err = f.read()
        assert "Traceback" not in err and WARNING not in err, err
        return took if "A 0" in child.lines else None

    env = dict(os.environ, TARNIX_VACUUM_IN_PLACE="1" if mode == "in_place" else "0")
    marker_name = "vacuum.inplace.intent" if mode == "in_place" else "vacuum.intent"
    marker = os.path.join(directory, marker_name)
    interrupted = {}
    for round_no in range(VACUUM_ROUNDS * ROUND_SCALE):
        if round_no % 10 == 0:
            # Measured again now and then: a loaded machine slows every vacuum alike.
            duration = run_writer(env, None)
        env["TARNIX_VACUUM_REBUILD_GRAPH"] = rng.choice(["0", "1"])
        # Where fsync is fast the commit takes well under a millisecond, which kills timed
        # from the vacuum's start would almost never hit: every fifth kill waits for the
        # commit marker instead, then at most a millisecond more.
        at_commit = round_no % 5 == 4
        if at_commit:
            delay = rng.choice([0.0, rng.uniform(0.0, 0.001)])
        else:
            delay = rng.uniform(0.1 * duration, 1.1 * duration)
        finished = run_writer(env, delay, at_commit) is not None
        left = tuple(vacuum_leftovers(directory))
        interrupted[left] = interrupted.get(left, 0) + 1
        capfd.readouterr()
        db = tarnix.TarnDB(directory, pca_enabled=False)
        context = "round %d (killed %.4f s into a %.3f s vacuum%s, finished=%s)" % (
            round_no, delay, duration, " after its commit marker" if at_commit else "", finished)
        assert WARNING not in capfd.readouterr().err, context
        assert vacuum_leftovers(directory) == [], context
        try:
            verify(db, model, rng=rng, filters=CHECK_FILTERS[:4], queries=2)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (context, e)) from None
        del db
        collect()
    # The kills landed inside vacuums, at more than one stage.
    print("states the kills left: %r" % interrupted)
    assert sum(n for left, n in interrupted.items() if left) >= VACUUM_ROUNDS // 5, interrupted
    assert len(interrupted) >= 3, interrupted
    assert any(marker_name in left for left in interrupted), interrupted


def test_a_killed_writer_loses_nothing_of_another_writer(tmp_path, capfd):
    """Two writers on one directory take turns; one is killed at a random moment (inside the
    gate or out of it), the other goes on past it to the end of its plan. Everything the
    other acknowledged is there, and so is everything the killed one acknowledged."""
    rng = random.Random("two-writers")
    params = WORKLOADS["mixed"]
    directory = str(tmp_path / "store")
    workloads = {tag: Workload(rng, params, tag) for tag in ("a", "b")}
    models = {tag: StoreModel() for tag in workloads}
    for round_no in range(12 * ROUND_SCALE):
        children = {}
        plans = {}
        stderr_files = {}
        for tag, workload in workloads.items():
            plans[tag] = workload.plan(models[tag].copy(), rng.randint(*params["ops"]))
            plan_path = str(tmp_path / ("plan-%s.json" % tag))
            with open(plan_path, "w") as f:
                json.dump({"dir": directory, "ops": plans[tag]}, f)
            env = dict(os.environ, TARNIX_VACUUM_IN_PLACE=rng.choice(["0", "1"]))
            stderr_files[tag] = open(str(tmp_path / ("writer-%s.err" % tag)), "wb")
            children[tag] = Child(plan_path, env, stderr_files[tag])
        victim, survivor = rng.sample(sorted(children), 2)
        try:
            target = rng.randrange(len(plans[victim]))
            if not children[victim].read_until("S %d" % target):
                raise AssertionError("writer %s exited early" % victim)
            time.sleep(rng.uniform(0.0, 0.004))
            children[victim].kill()
            # The other writer gets past the killed one's call, whatever state it left.
            assert children[survivor].read_until("D", timeout=120), "survivor %s ended" % survivor
        finally:
            for child in children.values():
                if child.proc.poll() is None:
                    child.kill()
            for f in stderr_files.values():
                f.close()
        for tag in children:
            with open(str(tmp_path / ("writer-%s.err" % tag))) as f:
                err = f.read()
            assert WARNING not in err and "Traceback" not in err, err
        for op in plans[survivor]:
            models[survivor].apply(op)
        acked = children[victim].marks("A")
        for op in plans[victim][:len(acked)]:
            models[victim].apply(op)
        pending = plans[victim][len(acked)] if len(acked) < len(plans[victim]) else None

        combined = StoreModel()
        for model in models.values():
            for item in model.items.values():
                combined.add(item.id, item.vector, item.meta, item.skip, item.ttl)
        capfd.readouterr()
        db = tarnix.TarnDB(directory, pca_enabled=False)
        assert WARNING not in capfd.readouterr().err
        context = "round %d (killed %s at op %d, pending %r)" % (
            round_no, victim, len(acked), pending and pending[0])
        try:
            resolved = verify(db, combined, indeterminate=pending, rng=rng, filters=CHECK_FILTERS,
                              queries=2)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (context, e)) from None
        # The killed writer's model is whatever the store showed for its items.
        models[victim].items = {i: it for i, it in resolved.items.items() if i.startswith(victim)}
        models[victim].num_fields = set(resolved.num_fields)
        for tag in models:
            models[tag].num_fields |= resolved.num_fields
            models[tag].dim = resolved.dim
        del db
        collect()


# An open that replays a long log checkpoints before it returns; kills land in the replay, in
# the snapshot's writing, between its rename and the log's emptying, and after.
LONG_LOG_ITEMS = 8000
LONG_LOG_ROUNDS = 12


def long_log_source(directory, rng):
    """A store with a quarter of its items in the snapshot and the rest, with replacements
    and deletes, only in the log; and its model."""
    db = tarnix.TarnDB(directory, pca_enabled=False)
    model = StoreModel()
    ids = ["l%05d" % i for i in range(LONG_LOG_ITEMS)]
    vectors = [[rng.uniform(-1, 1) for _ in range(VACUUM_DIM)] for _ in ids]
    metas = [json.dumps({"id": i, "grp": rng.choice(GROUPS), "n": rng.randrange(100),
                         "flag": rng.random() < 0.5}) for i in ids]
    quarter = LONG_LOG_ITEMS // 4
    db.add_batch(ids[:quarter], vectors[:quarter], metas[:quarter])
    model.add_batch(ids[:quarter], vectors[:quarter], metas[:quarter])
    db.persist()
    for start in range(quarter, LONG_LOG_ITEMS, 500):
        part = slice(start, start + 500)
        db.add_batch(ids[part], vectors[part], metas[part])
        model.add_batch(ids[part], vectors[part], metas[part])
    for i in rng.sample(ids, LONG_LOG_ITEMS // 10):
        db.delete(i)
        model.delete(i)
    del db
    collect()
    return model


def test_killed_checkpoint_after_a_long_replay_loses_nothing(tmp_path, capfd):
    rng = random.Random("long-log-crash")
    source = str(tmp_path / "source")
    model = long_log_source(source, rng)
    log_length = os.path.getsize(os.path.join(source, "wal.bin"))
    with open(os.path.join(source, "snapshot.bin"), "rb") as f:
        old_snapshot = f.read()
    plan_path = str(tmp_path / "plan.json")
    directory = str(tmp_path / "store")
    with open(plan_path, "w") as f:
        json.dump({"dir": directory, "ops": []}, f)
    env = dict(os.environ, TARNIX_REPLAY_CHECKPOINT_RECORDS="1000")

    def run_writer(kill_after):
        """Opens a fresh copy of the source in a writer and kills it `kill_after` seconds after
        it started (None: once its open returned); returns how long that took, if it did."""
        shutil.rmtree(directory, ignore_errors=True)
        shutil.copytree(source, directory)
        with open(str(tmp_path / "writer.err"), "wb") as stderr:
            began = time.monotonic()
            child = Child(plan_path, env, stderr)
            try:
                if kill_after is None:
                    assert child.read_until("D"), "writer exited before its open returned"
                else:
                    time.sleep(kill_after)
                took = time.monotonic() - began
            finally:
                code = child.kill()
        assert code == -signal.SIGKILL
        with open(str(tmp_path / "writer.err")) as f:
            err = f.read()
        assert "Traceback" not in err and WARNING not in err, err
        return took if "D" in child.lines else None

    states = {}
    for round_no in range(LONG_LOG_ROUNDS * ROUND_SCALE):
        if round_no % 8 == 0:
            duration = run_writer(None)
            assert os.path.getsize(os.path.join(directory, "wal.bin")) == 0
        # The kills aim in turn at the whole open, at its end (where the checkpoint runs), and
        # past it: the window between the log's truncation and the open's return is too short
        # to be hit by chance, and the state after it must be covered too.
        aim = round_no % 4
        low, high = (0.3, 1.0) if aim == 1 else (1.1, 1.5) if aim == 3 else (0.85, 1.0)
        delay = duration * rng.uniform(low, high)
        run_writer(delay)
        log_now = os.path.getsize(os.path.join(directory, "wal.bin"))
        assert log_now in (0, log_length), "the log was cut to %d of %d bytes" % (
            log_now, log_length)
        with open(os.path.join(directory, "snapshot.bin"), "rb") as f:
            replaced = f.read() != old_snapshot
        state = ("log emptied" if log_now == 0 else
                 "snapshot replaced, log kept" if replaced else
                 "snapshot being written" if os.path.exists(
                     os.path.join(directory, "snapshot.bin.tmp")) else "replaying")
        states[state] = states.get(state, 0) + 1
        capfd.readouterr()
        db = tarnix.TarnDB(directory, pca_enabled=False)
        context = "round %d (killed %.3f s into a %.3f s open, %s)" % (
            round_no, delay, duration, state)
        assert WARNING not in capfd.readouterr().err, context
        try:
            verify(db, model, rng=rng, filters=CHECK_FILTERS[:4], queries=2)
        except AssertionError as e:
            raise AssertionError("%s: %s" % (context, e)) from None
        del db
        collect()
    print("states the kills left: %r" % states)
    assert "replaying" in states and "log emptied" in states, states
