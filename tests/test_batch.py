"""Batch queries of the trees: query, query_ball_point and density against the single-point
methods and brute-force distances, worker counts, the interpreter lock, input forms, errors."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import veltrix

from test_spatial import CLASSES, METRICS, VARIANTS, distances

sp = veltrix.spatial
WORKERS = [1, 2, 3, -1]


def to_array(x):
    return veltrix.Array.from_numpy(np.ascontiguousarray(x, dtype=np.float64))


def grid_points(n, dim, seed):
    """Points on a coarse grid, so that many distances tie and the heap's order shows."""
    rng = np.random.default_rng(seed)
    return np.round(rng.uniform(-2, 2, size=(n, dim)) * 2) / 2


def build(cls, kw, pts, metric="euclidean", leaf=5):
    return cls.from_array(to_array(pts), leaf, metric, **kw)


def rows_of(tree, X, method, *args):
    return [getattr(tree, method)(list(q), *args) for q in X]


# ---------------------------------------------------------------------------------------------
# Row by row equal to the single-point methods (more than 64 rows: the batch reorders them)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_rows_equal_single_point_methods(cls, kw, metric):
    pts = grid_points(300, 3, 7)
    tree = build(cls, kw, pts, metric)
    X = np.concatenate([grid_points(60, 3, 8), pts[:20] + 0.25, [[np.inf, 0.0, 0.0]]])
    k = 9
    dist, idx = tree.query(X, k)
    assert dist.dtype == np.float64 and idx.dtype == np.int64 and dist.shape == idx.shape == (len(X), k)
    assert idx.tolist() == rows_of(tree, X, "query_knn", k)
    for q, d, i in zip(X, dist, idx):
        assert d.tobytes() == distances(metric, q, pts[i]).tobytes()

    r = dist[:, 4].copy()
    r[-1] = 0.0
    found, fdist = tree.query_ball_point(X, r, return_distance=True)
    assert [f.tolist() for f in found] == [tree.query_radius(list(q), ri) for q, ri in zip(X, r)]
    for q, f, d in zip(X, found, fdist):
        assert f.dtype == np.int64 and d.tobytes() == distances(metric, q, pts[f]).tobytes()
    sorted_rows, sorted_dist = tree.query_ball_point(X, r, return_distance=True, sort_results=True)
    for f, d, s, sd in zip(found, fdist, sorted_rows, sorted_dist):
        order = sorted(zip(d.tolist(), f.tolist()))
        assert list(zip(sd.tolist(), s.tolist())) == order
    counts = tree.query_ball_point(X, r, count_only=True)
    assert counts.dtype == np.int64 and counts.tolist() == [len(f) for f in found]

    crit = dict(criterion="min_samples", min_samples=12)
    dens = tree.density(X[:-1], 0.7, "epanechnikov", **crit)
    assert dens.tobytes() == tree.kernel_density_approx(to_array(X[:-1]), 0.7, "epanechnikov", **crit).to_numpy().tobytes()
    assert tree.density(None, 0.5).tobytes() == tree.kernel_density(None, 0.5).to_numpy().tobytes()


@pytest.mark.parametrize("cls", CLASSES)
def test_one_point_drops_the_row_axis(cls):
    pts = grid_points(50, 2, 1)
    tree = build(cls, {}, pts)
    q = [0.3, -0.2]
    d, i = tree.query(q, 4)
    assert i.shape == (4,) and i.tolist() == tree.query_knn(q, 4)
    assert tree.query(np.array(q), 4, return_distance=False).tolist() == i.tolist()
    assert tree.query_ball_point(q, 1.0).tolist() == tree.query_radius(q, 1.0)
    assert tree.query_ball_point(q, [1.0], count_only=True) == len(tree.query_radius(q, 1.0))
    dens = tree.density(q, 0.5)
    assert dens.shape == (1,) and dens[0] == tree.kernel_density(q, 0.5)


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_worker_counts_give_identical_results(cls, kw):
    pts = np.random.default_rng(3).normal(size=(2000, 4))
    tree = build(cls, kw, pts, leaf=8)
    X = np.random.default_rng(4).normal(size=(701, 4))
    r = np.linspace(0.1, 0.9, len(X))

    def run(w):
        d, i = tree.query(X, 7, workers=w)
        rows, dist = tree.query_ball_point(X, r, return_distance=True, sort_results=True, workers=w)
        counts = tree.query_ball_point(X, r, count_only=True, workers=w)
        dens = tree.density(X, 0.4, workers=w)
        own = tree.density(workers=w)
        return [d.tobytes(), i.tobytes(), b"".join(a.tobytes() for a in rows),
                b"".join(a.tobytes() for a in dist), counts.tobytes(), dens.tobytes(), own.tobytes()]

    first = run(1)
    for w in WORKERS[1:]:
        assert run(w) == first


def test_a_second_thread_runs_during_a_long_query():
    pts = np.random.default_rng(5).uniform(size=(20000, 8))
    tree = sp.KDTree.from_array(to_array(pts))
    X = np.random.default_rng(6).uniform(size=(3000, 8))
    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.2)  # the ticker alone: its pace
    pace = ticks[0] / 0.2
    before = ticks[0]
    start = time.perf_counter()
    tree.query(X, 30)
    elapsed = time.perf_counter() - start
    during = ticks[0] - before
    stop.set()
    ticker.join()
    # Holding the lock for the whole search would leave the ticker at most one switch
    # interval (5 ms) before the search starts.
    assert elapsed > 0.1 and during > 0.05 * pace


# ---------------------------------------------------------------------------------------------
# Input forms


BASE = np.array([[0.0, 1.0, 2.0], [3.0, -1.0, 0.0], [2.0, 2.0, 2.0], [-1.0, 0.0, 4.0]])
FORMS = [
    pytest.param(lambda: to_array(BASE), id="Array"),
    pytest.param(lambda: BASE.copy(), id="C"),
    pytest.param(lambda: np.asfortranarray(BASE), id="Fortran"),
    pytest.param(lambda: np.repeat(BASE, 2, axis=0)[::2, :], id="strided"),
    pytest.param(lambda: BASE[:, ::-1][:, ::-1], id="reversed-view"),
    pytest.param(lambda: BASE.astype(np.float32), id="float32"),
    pytest.param(lambda: BASE.astype(np.int64), id="int64"),
    pytest.param(lambda: BASE.tolist(), id="lists"),
    pytest.param(lambda: tuple(tuple(r) for r in BASE.tolist()), id="tuples"),
    pytest.param(lambda: list(BASE), id="list-of-numpy-rows"),
]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("cls", CLASSES)
def test_input_forms(cls, form):
    tree = build(cls, {}, grid_points(40, 3, 2), leaf=3)
    expect = tree.query(BASE, 5)
    got = tree.query(form(), 5)
    assert got[0].tobytes() == expect[0].tobytes() and got[1].tobytes() == expect[1].tobytes()
    assert tree.density(form(), 0.8).tobytes() == tree.density(BASE, 0.8).tobytes()
    radii = np.array([0.5, 1.0, 1.5, 2.0], dtype=np.float32)
    for r in (radii, radii.tolist(), to_array(radii)):
        counts = tree.query_ball_point(form(), r, count_only=True)
        assert counts.tolist() == tree.query_ball_point(BASE, radii.astype(float), count_only=True).tolist()


# ---------------------------------------------------------------------------------------------
# Errors: raised before any output, naming the parameter


def complex_rows():
    return BASE.astype(complex)


ERRORS = [
    ("query", (BASE, 41), {}, ValueError, "k is 41 but the tree holds only 40 points"),
    ("query", (BASE, -1), {}, ValueError, "k must not be negative, got -1"),
    ("query", (BASE[:, :2],), {}, ValueError, "X rows have 2 coordinates but the tree's dimension is 3"),
    ("query", ([1.0, 2.0],), {}, ValueError, "X rows have 2 coordinates but the tree's dimension is 3"),
    ("query", ([[1, 2, 3], [1, 2]],), {}, ValueError, "X rows must all have the same length"),
    ("query", (np.zeros((2, 2, 3)),), {}, ValueError, "X must have one or two dimensions, not 3"),
    ("query", (1.0,), {}, TypeError,
     "argument 'X': expected an Array, a NumPy array or a sequence of numbers, not float"),
    ("query", (complex_rows(),), {}, TypeError, "argument 'X': dtype complex128 does not hold real numbers"),
    ("query", (BASE.astype(object),), {}, TypeError, "argument 'X': dtype object does not hold real numbers"),
    ("query", ("abc",), {}, TypeError,
     "argument 'X': expected an Array, a NumPy array or a sequence of numbers, not str"),
    ("query", ([[1.0, np.nan, 0.0]],), {}, ValueError, "queries must not contain NaN"),
    ("query", (BASE,), {"workers": 0}, ValueError, "workers must be -1 or at least 1, got 0"),
    ("query", (BASE,), {"workers": -2}, ValueError, "workers must be -1 or at least 1, got -2"),
    ("query", (BASE, 1, True), {}, TypeError, "KDTree.query() takes from 1 to 2 positional arguments but 3 were given"),
    ("query_ball_point", (BASE, [1.0, 2.0]), {}, ValueError, "r holds 2 radii for 4 query rows"),
    ("query_ball_point", (BASE, -0.5), {}, ValueError, "r must not be negative or NaN"),
    ("query_ball_point", (BASE, [1.0, np.nan, 1.0, 1.0]), {}, ValueError, "r must not be negative or NaN"),
    ("query_ball_point", (BASE, np.ones((4, 1))), {}, ValueError, "r must be one radius or one radius per query row"),
    ("query_ball_point", (BASE, 1.0), {"workers": -5}, ValueError, "workers must be -1 or at least 1, got -5"),
    ("density", (BASE, 0.0), {}, ValueError, "bandwidth must be positive"),
    ("density", (BASE, 1.0, "cosine"), {}, ValueError,
     "Unknown kernel type 'cosine'. Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'"),
    ("density", (BASE,), {"criterion": "max_span"}, ValueError, "max_span parameter required for 'max_span' criterion"),
    ("density", ([[0.0, 0.0, np.nan]],), {}, ValueError, "queries must not contain NaN"),
]


@pytest.mark.parametrize("method,args,kwargs,exc,message", ERRORS, ids=[e[4][:40] for e in ERRORS])
def test_errors(method, args, kwargs, exc, message):
    tree = build(sp.KDTree, {}, grid_points(40, 3, 2))
    with pytest.raises(exc) as info:
        getattr(tree, method)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("cls", CLASSES)
def test_empty_tree_and_empty_batch(cls):
    empty = cls.from_array(veltrix.zeros([0, 2]))
    X = np.zeros((3, 2))
    d, i = empty.query(X, 0)
    assert d.shape == i.shape == (3, 0)
    with pytest.raises(ValueError, match=r"^k is 1 but the tree holds only 0 points$"):
        empty.query(X)
    assert [a.tolist() for a in empty.query_ball_point(X, 1.0)] == [[], [], []]
    assert empty.query_ball_point(X, 1.0, count_only=True).tolist() == [0, 0, 0]
    assert empty.density(X).tolist() == [0.0, 0.0, 0.0] and empty.density().shape == (0,)

    tree = build(cls, {}, grid_points(10, 2, 1), leaf=2)
    for none in (np.zeros((0, 2)), [], veltrix.zeros([0, 2])):
        d, i = tree.query(none, 3)
        assert d.shape == i.shape == (0, 3)
        assert tree.query_ball_point(none, 1.0) == []
        assert tree.query_ball_point(none, 1.0, count_only=True).shape == (0,)
        assert tree.density(none).shape == (0,)


def test_without_numpy_the_batch_methods_raise_import_error():
    code = """
        import sys
        sys.modules["numpy"] = None
        import veltrix
        t = veltrix.spatial.KDTree.from_array(veltrix.Array([2, 1], [0.0, 1.0]))
        for call in (lambda: t.query([[0.0]]), lambda: t.query_ball_point([[0.0]], 1.0), lambda: t.density()):
            try:
                call()
            except ImportError as e:
                print(e)
        print(t.query_knn([0.0], 1))
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["veltrix batch queries need NumPy"] * 3 + ["[0]"]
