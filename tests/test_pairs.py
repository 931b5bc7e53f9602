"""Pair searches of the trees (query_pairs, count_neighbors, sparse_distance_matrix) against
brute force over all pairs: pairs and their order, counts in every bin, weighted sums,
sparse matrices, worker counts and errors."""

import numpy as np
import pytest

import veltrix

from helpers import CLASSES, METRICS, VARIANTS, distances
from test_periodic import brute

sp = veltrix.spatial


def to_array(x):
    return veltrix.Array.from_numpy(np.ascontiguousarray(x, dtype=np.float64))


def grid_points(n, dim, seed):
    """Points on a coarse grid: many distances tie, and radii can sit exactly on them."""
    rng = np.random.default_rng(seed)
    return np.round(rng.uniform(-2, 2, size=(n, dim)) * 2) / 2


def all_distances(metric, x, y):
    return np.array([distances(metric, p, y) for p in x]).reshape(len(x), len(y))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_query_pairs_against_brute_force(cls, kw, metric):
    pts = np.concatenate([grid_points(250, 3, 1), grid_points(5, 3, 1)])  # duplicates too
    tree = cls.from_array(to_array(pts), 4, metric, **kw)
    d = all_distances(metric, pts, pts)
    for r in (0.0, 1.0, float(np.sort(d[d > 0])[500])):
        i, j = np.nonzero(np.triu(d <= r, 1))
        pairs, dist = tree.query_pairs(r, return_distance=True)
        assert pairs.dtype == np.int64 and pairs.shape == (len(i), 2)
        assert pairs.tolist() == np.stack([i, j], 1).tolist()
        assert dist.tobytes() == d[i, j].tobytes()
        assert tree.query_pairs(r).tolist() == pairs.tolist()


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_count_neighbors_and_sparse_matrix_against_brute_force(cls, kw, metric):
    x, y = grid_points(300, 3, 2), grid_points(200, 3, 3)
    y[7] = [np.inf, 0.0, 0.0]  # never within any radius
    tree = cls.from_array(to_array(x), 5, metric, **kw)
    other = cls.from_array(to_array(y), 3, metric, **kw)
    d = all_distances(metric, x, y)
    # Radii on pair distances, repeated, and beyond every pair.
    radii = np.array([0.0, 0.5, 1.0, 1.0, float(np.median(d[np.isfinite(d)])), 100.0])
    cum = np.array([(d <= r).sum() for r in radii])
    bins = np.diff(np.concatenate([[0], cum]))
    rng = np.random.default_rng(4)
    wx, wy = rng.uniform(size=len(x)), rng.uniform(size=len(y))
    for o in (other, y, y.tolist(), to_array(y)):
        got = tree.count_neighbors(o, radii)
        assert got.dtype == np.int64 and got.tolist() == cum.tolist()
        assert tree.count_neighbors(o, radii, cumulative=False).tolist() == bins.tolist()
        assert tree.count_neighbors(o, 1.0) == cum[2] and type(tree.count_neighbors(o, 1.0)) is int
    for w_self, w_other in ((wx, wy), (wx, None), (None, wy)):
        ww = np.outer(np.ones(len(x)) if w_self is None else w_self, np.ones(len(y)) if w_other is None else w_other)
        ref = np.array([ww[d <= r].sum() for r in radii])
        got = tree.count_neighbors(other, radii, weights=(w_self, w_other))
        assert got.dtype == np.float64 and np.allclose(got, ref, rtol=1e-12)
        assert np.allclose(tree.count_neighbors(y, radii, weights=(w_self, w_other), cumulative=False),
                           np.diff(np.concatenate([[0], ref])), rtol=1e-12, atol=1e-9)
    one = tree.count_neighbors(other, 1.0, weights=(wx, wy))
    assert type(one) is float and one == pytest.approx(np.outer(wx, wy)[d <= 1.0].sum(), rel=1e-12)

    for cut in (0.0, 1.0):
        rows, cols, dist = tree.sparse_distance_matrix(other, cut)
        i, j = np.nonzero(d <= cut)
        assert rows.dtype == cols.dtype == np.int64 and dist.dtype == np.float64
        assert rows.tolist() == i.tolist() and cols.tolist() == j.tolist()
        assert dist.tobytes() == d[i, j].tobytes()
        same = tree.sparse_distance_matrix(y, cut)
        assert all(a.tobytes() == b.tobytes() for a, b in zip(same, (rows, cols, dist)))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_periodic_pairs_use_minimum_image_distances(cls, kw, metric):
    box = [1.0, 2.5, 0.75]
    rng = np.random.default_rng(8)
    x, y = rng.uniform(-1.0, 3.0, size=(90, 3)), rng.uniform(-1.0, 3.0, size=(50, 3))
    tree = cls.from_points(x, leaf_size=3, metric=metric, boxsize=box, **kw)
    other = cls.from_points(y, leaf_size=4, metric=metric, boxsize=box, **kw)
    d_own = np.array([brute(metric, p, x, box) for p in x])
    d = np.array([brute(metric, p, y, box) for p in x])
    i, j = np.nonzero(np.triu(d_own <= 0.3, 1))
    pairs, dist = tree.query_pairs(0.3, return_distance=True)
    assert pairs.tolist() == np.stack([i, j], 1).tolist() and dist.tobytes() == d_own[i, j].tobytes()
    radii = [0.1, 0.3, 0.3, 0.6]
    expect = [(d <= r).sum() for r in radii]
    assert tree.count_neighbors(other, radii).tolist() == expect
    assert tree.count_neighbors(y, radii).tolist() == expect
    rows, cols, dist = tree.sparse_distance_matrix(y, 0.3)
    i, j = np.nonzero(d <= 0.3)
    assert rows.tolist() == i.tolist() and cols.tolist() == j.tolist() and dist.tobytes() == d[i, j].tobytes()
    plain = cls.from_points(y, leaf_size=4, metric=metric, **kw)
    for o in (plain, cls.from_points(y, metric=metric, boxsize=2.0, **kw)):
        with pytest.raises(ValueError, match=r"^other's periodic box differs from the tree's$"):
            tree.count_neighbors(o, 0.3)
    with pytest.raises(ValueError, match=r"^points must be finite in a periodic box, but row 1 is not$"):
        tree.sparse_distance_matrix([[0.0, 0.0, 0.0], [np.inf, 0.0, 0.0]], 0.3)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("where", ["first_rows", "spread"])
def test_listings_over_many_rows_come_out_in_order(cls, where):
    """Row numbers of many bits, with the close pairs all among the first rows (one leading
    digit for every pair) or spread over the whole set."""
    rng = np.random.default_rng(6)
    x = rng.uniform(0, 1000, size=(6000, 2))
    r = 12.0
    if where == "first_rows":
        x[:7] = x[0] + rng.uniform(0, 1, size=(7, 2))
        x[7:] = np.arange(7, 6000)[:, None] * 40.0  # far from each other and from the first
    want_i, want_j, want_d = [], [], []
    for i in range(len(x)):
        d = distances("euclidean", x[i], x[i + 1:])
        (j,) = np.nonzero(d <= r)
        want_i += [i] * len(j)
        want_j += (j + i + 1).tolist()
        want_d += d[j].tolist()
    tree = cls.from_points(x, leaf_size=8)
    pairs, dist = tree.query_pairs(r, return_distance=True, workers=2)
    assert len(want_i) > 20
    assert pairs.tolist() == np.stack([want_i, want_j], 1).tolist()
    assert dist.tobytes() == np.array(want_d).tobytes()
    rows, cols, d = tree.sparse_distance_matrix(tree, r)
    assert np.array_equal(rows[rows < cols], pairs[:, 0]) and np.array_equal(cols[rows < cols], pairs[:, 1])


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("pts", [[-np.inf, -1e300], [-np.inf, -np.inf, 3.0, -np.inf], [np.inf, -np.inf, 0.0, 0.5] * 3],
                         ids=["beyond_float", "shared_inf", "opposite_infs"])
def test_nodes_reaching_infinity_are_not_taken_whole(cls, metric, pts):
    """Bounds of nodes holding infinite coordinates (boxes whose extent is inf - inf, centres
    between +inf and -inf) never take a pair of nodes whole."""
    x = np.stack([pts, np.arange(len(pts)) % 2], 1)
    with np.errstate(all="ignore"):  # inf - inf
        d = all_distances(metric, x, x)
    i, j = np.nonzero(np.triu(d <= 1.0, 1))
    radii = np.array([0.0, 0.5, 1.0, 1e300])
    for leaf in (1, 2):
        tree = cls.from_points(x, leaf_size=leaf, metric=metric)
        assert tree.query_pairs(1.0).tolist() == np.stack([i, j], 1).tolist()
        assert tree.query_pairs(1.0, return_distance=True)[0].tolist() == np.stack([i, j], 1).tolist()
        assert tree.count_neighbors(tree, radii).tolist() == [(d <= r).sum() for r in radii]


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_worker_counts_give_identical_results(cls, kw):
    rng = np.random.default_rng(5)
    x, y = rng.normal(size=(3000, 3)), rng.normal(size=(2000, 3))
    tree = cls.from_array(to_array(x), 8, **kw)
    other = cls.from_array(to_array(y), 8, **kw)
    radii = np.linspace(0.05, 0.6, 12)
    wx, wy = rng.uniform(size=len(x)), rng.uniform(size=len(y))

    def run(w):
        pairs, dist = tree.query_pairs(0.2, return_distance=True, workers=w)
        sparse = tree.sparse_distance_matrix(other, 0.2, workers=w)
        return [pairs.tobytes(), dist.tobytes(), *(a.tobytes() for a in sparse),
                tree.count_neighbors(other, radii, workers=w).tobytes(),
                tree.count_neighbors(y, radii, weights=(wx, wy), workers=w).tobytes(),
                tree.count_neighbors(other, radii, weights=(wx, None), cumulative=False, workers=w).tobytes()]

    first = run(1)
    for w in (2, 3, -1):
        assert run(w) == first


@pytest.mark.parametrize("cls", CLASSES)
def test_empty_sides_and_tiny_leaves(cls):
    empty = cls.from_array(veltrix.zeros([0, 2]))
    pts = grid_points(40, 2, 6)
    tree = cls.from_array(to_array(pts), 1)
    assert empty.query_pairs(1.0).shape == (0, 2)
    assert empty.count_neighbors(pts, [0.5, 1.0]).tolist() == [0, 0]
    assert tree.count_neighbors(empty, 1.0) == 0 and tree.count_neighbors(np.zeros((0, 2)), 1.0) == 0
    assert tree.count_neighbors([], [1.0, 2.0], weights=(None, [])).tolist() == [0.0, 0.0]
    assert [a.shape for a in tree.sparse_distance_matrix(np.zeros((0, 2)), 1.0)] == [(0,)] * 3
    d = all_distances("euclidean", pts, pts)
    assert tree.count_neighbors(tree, 1.0) == (d <= 1.0).sum()
    assert tree.count_neighbors(pts[0], 1.0) == (d[0] <= 1.0).sum()  # one point
    assert len(tree.query_pairs(1.0)) == np.triu(d <= 1.0, 1).sum()


def complex_rows():
    return np.zeros((3, 3), dtype=complex)


ERRORS = [
    ("query_pairs", (-1.0,), {}, ValueError, "r must be finite and not negative"),
    ("query_pairs", (np.inf,), {}, ValueError, "r must be finite and not negative"),
    ("query_pairs", (np.nan,), {}, ValueError, "r must be finite and not negative"),
    ("query_pairs", (1.0,), {"workers": 0}, ValueError, "workers must be -1 or at least 1, got 0"),
    ("count_neighbors", ("POINTS", [0.5, np.inf]), {}, ValueError, "r must be finite and not negative"),
    ("count_neighbors", ("POINTS", [1.0, 0.5]), {}, ValueError, "r must be non-decreasing"),
    ("count_neighbors", ("POINTS", np.ones((2, 2))), {}, ValueError,
     "r must be one radius or a one-dimensional array of radii"),
    ("count_neighbors", ("POINTS", "x"), {}, TypeError, "argument 'r': must be real number, not str"),
    ("count_neighbors", ("BALL", 1.0), {}, TypeError,
     "argument 'other': expected a KDTree or query points, not a BallTree"),
    ("count_neighbors", ("FLAT", 1.0), {}, ValueError, "other has dimension 2 but the tree's dimension is 3"),
    ("count_neighbors", ("MANHATTAN", 1.0), {}, ValueError,
     "other uses the manhattan metric but the tree uses the euclidean metric"),
    ("count_neighbors", (np.zeros((2, 2)), 1.0), {}, ValueError,
     "other rows have 2 coordinates but the tree's dimension is 3"),
    ("count_neighbors", ([[0.0, np.nan, 0.0]], 1.0), {}, ValueError, "other must not contain NaN"),
    ("count_neighbors", (complex_rows(), 1.0), {}, TypeError,
     "argument 'other': dtype complex128 does not hold real numbers"),
    ("count_neighbors", ("abc", 1.0), {}, TypeError,
     "argument 'other': expected an Array, a NumPy array or a sequence of numbers, not str"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": 1.0}, TypeError,
     "argument 'weights': expected None or a pair (w_self, w_other), not float"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (None,)}, ValueError,
     "weights must be a pair (w_self, w_other), not a sequence of 1"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (np.ones(3), None)}, ValueError,
     "weights[0] holds 3 weights for 40 points"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (None, np.ones(5))}, ValueError,
     "weights[1] holds 5 weights for 4 points"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (None, np.ones((4, 1)))}, ValueError,
     "weights[1] must be one-dimensional: one weight per point"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (-np.ones(40), None)}, ValueError,
     "weights must be finite and not negative"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (None, [1.0, np.nan, 1.0, 1.0])}, ValueError,
     "weights must be finite and not negative"),
    ("count_neighbors", ("POINTS", 1.0), {"weights": (None, ["a"] * 4)}, TypeError,
     "argument 'weights': must be real number, not str"),
    ("sparse_distance_matrix", ("POINTS", -0.5), {}, ValueError, "max_distance must be finite and not negative"),
    ("sparse_distance_matrix", ("VP", 1.0), {}, TypeError,
     "argument 'other': expected a KDTree or query points, not a VPTree"),
    ("sparse_distance_matrix", ("POINTS", 1.0), {"workers": -3}, ValueError,
     "workers must be -1 or at least 1, got -3"),
]


@pytest.mark.parametrize("method,args,kwargs,exc,message", ERRORS, ids=[e[4][:40] for e in ERRORS])
def test_errors(method, args, kwargs, exc, message):
    pts = grid_points(40, 3, 2)
    tree = sp.KDTree.from_array(to_array(pts))
    others = {"POINTS": pts[:4], "BALL": sp.BallTree.from_array(to_array(pts)),
              "VP": sp.VPTree.from_array(to_array(pts)), "FLAT": sp.KDTree.from_array(to_array(pts[:, :2])),
              "MANHATTAN": sp.KDTree.from_array(to_array(pts), 20, "manhattan")}
    args = tuple(others.get(a, a) if isinstance(a, str) else a for a in args)
    with pytest.raises(exc) as info:
        getattr(tree, method)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("cls", CLASSES)
def test_listing_too_large_for_memory_raises_memory_error(cls):
    tree = cls.from_points(np.zeros((100_000, 2)))  # 5e9 pairs at distance 0
    with pytest.raises(MemoryError):
        tree.query_pairs(1.0)
    with pytest.raises(MemoryError):
        tree.sparse_distance_matrix(tree, 0.0, workers=2)
    assert tree.count_neighbors(tree, 0.0) == 10 ** 10
