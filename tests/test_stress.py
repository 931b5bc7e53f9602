"""Many threads against shared objects for a fixed time.

Eight threads search one tree with several workers, pickle and copy it, write and read one
array and draw from one generator, all at once. A conflicting borrow raises RuntimeError with
its fixed message; nothing else may fail, and every result equals the single-threaded one.
VELTRIX_STRESS_SECONDS sets the duration (the sanitizer script runs longer).
"""

import copy
import os
import pickle
import random
import threading
import time

import numpy as np
import pytest

import veltrix
from veltrix import random as vrandom, spatial

SECONDS = float(os.environ.get("VELTRIX_STRESS_SECONDS", "3"))
THREADS = 8
CONFLICTS = {"Already borrowed", "Already mutably borrowed"}
DRAW = 64  # values per draw: every uniform value takes one step of the stream

pytestmark = pytest.mark.stress


def _points(n, dim, seed):
    rng = np.random.default_rng(seed)
    return veltrix.Array([n, dim], rng.normal(size=n * dim).tolist())


class Shared:
    """The shared objects and what a single thread computes from them."""

    def __init__(self):
        self.trees = [spatial.KDTree.from_array(_points(600, 3, 1), leaf_size=8),
                      spatial.BallTree.from_array(_points(600, 3, 2), 5, "manhattan"),
                      spatial.VPTree.from_array(_points(600, 3, 3), 6, "chebyshev", "random")]
        # The query rows are one shared Array: a search reads it without the interpreter lock
        # under a shared borrow, while other threads write into it.
        self.values = np.random.default_rng(4).normal(size=(200, 3)).tolist()
        self.array = veltrix.Array([200, 3], [x for row in self.values for x in row])
        self.queries = self.array
        self.expected = [self.answers(t) for t in self.trees]
        self.seed = 77
        self.generator = vrandom.seed(self.seed)
        self.draws = []  # (thread, draw number, values) of every draw from the shared generator
        self.copies = []  # the next draw of a copy of the generator taken mid-run
        self.lock = threading.Lock()

    def answers(self, tree, workers=1):
        d, i = tree.query(self.queries, 4, workers=workers)
        counts = tree.query_ball_point(self.queries, 0.7, count_only=True, workers=workers)
        dens = tree.density(self.queries, 0.4, "epanechnikov", workers=workers)
        return d.tobytes(), i.tobytes(), counts.tobytes(), dens.tobytes()


def _tree_work(s, rnd):
    j = rnd.randrange(len(s.trees))
    tree = s.trees[j]
    action = rnd.randrange(4)
    if action == 0:
        got = s.answers(tree, workers=rnd.choice([1, 2, 3, -1]))
    elif action == 1:
        got = s.answers(pickle.loads(pickle.dumps(tree)))
    elif action == 2:
        got = s.answers(copy.copy(tree))
    else:
        got = s.answers(copy.deepcopy(tree))
    assert got == s.expected[j]


def _array_work(s, rnd):
    a = s.array
    action = rnd.randrange(4)
    i, j = rnd.randrange(len(s.values)), rnd.randrange(3)
    # Writes store the value already there, so every read sees the same contents.
    if action == 0:
        a[i, j] = s.values[i][j]
    elif action == 1:
        assert a.tolist() == s.values
    elif action == 2:
        assert a[i, j] == s.values[i][j]
    else:
        assert a[i].tolist() == s.values[i]


def _generator_work(s, rnd):
    if rnd.randrange(8) == 0:
        c = copy.copy(s.generator)
        nxt = c.uniform(0.0, 1.0, [DRAW]).tolist()
        with s.lock:
            s.copies.append(nxt)
        return
    values = s.generator.uniform(0.0, 1.0, [DRAW]).tolist()
    with s.lock:
        s.draws.append(values)


WORK = [_tree_work, _array_work, _generator_work]


def test_threads_share_trees_arrays_and_generators():
    s = Shared()
    stop = time.monotonic() + SECONDS
    failures, conflicts, done = [], [], [0] * THREADS

    def run(t):
        rnd = random.Random(t)
        while time.monotonic() < stop:
            work = WORK[(t + done[t]) % len(WORK)]
            try:
                work(s, rnd)
            except RuntimeError as e:
                if str(e) not in CONFLICTS:
                    failures.append(repr(e))
                    return
                conflicts.append(str(e))
            except BaseException as e:  # noqa: BLE001 - any other failure is reported
                failures.append(f"{work.__name__}: {e!r}")
                return
            done[t] += 1

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures[:5]
    assert all(n > 0 for n in done)
    # The objects stay usable and unchanged.
    assert s.array.tolist() == s.values
    assert [s.answers(t) for t in s.trees] == s.expected
    # Draws are whole, disjoint chunks of the single-threaded stream: together they are its
    # first len(draws) chunks, and a copy continues at a chunk boundary.
    n = len(s.draws)
    stream = vrandom.seed(s.seed).uniform(0.0, 1.0, [(n + 1) * DRAW]).tolist()
    chunks = [tuple(stream[i * DRAW:(i + 1) * DRAW]) for i in range(n + 1)]
    assert sorted(map(tuple, s.draws)) == sorted(chunks[:n])
    assert all(tuple(c) in set(chunks) for c in s.copies)
