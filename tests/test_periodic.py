"""Periodic boxes: every query against brute-force minimum-image distances, wrapping of points
and queries on and past the edges, bounded k-nearest searches, worker counts, pickling."""

import pickle

import numpy as np
import pytest

import veltrix

from helpers import METRICS, VARIANTS

sp = veltrix.spatial
BOXES = [None, 1.0, [1.0, 2.5, 0.75]]


def wrap(x, box):
    r = x - box * np.floor(x / box)
    r = np.where(r < 0.0, r + box, r)
    return np.where(r >= box, 0.0, r)


def brute(metric, q, pts, box):
    """Distances from q to every point in the accumulation order of the trees."""
    if box is not None:
        box = np.broadcast_to(np.asarray(box, dtype=np.float64), q.shape)
        q, pts = wrap(q, box), wrap(pts, box)
    out = np.empty(len(pts))
    for j, p in enumerate(pts):
        s = 0.0
        for i in range(len(q)):
            t = abs(q[i] - p[i])
            if box is not None:
                t = min(t, box[i] - t)
            if metric == "euclidean":
                s = t * t + s
            elif metric == "manhattan":
                s = s + t
            elif np.isnan(s) or t > s:
                s = t
        out[j] = np.sqrt(s) if metric == "euclidean" else s
    return out


def points(n=300, seed=5):
    rng = np.random.default_rng(seed)
    # Spread past the box on both sides, so wrapping does real work.
    return rng.uniform(-1.5, 3.0, size=(n, 3))


def queries(seed=6):
    rng = np.random.default_rng(seed)
    edges = [[0.0, 0.0, 0.0], [1.0, 2.5, 0.75], [-1e-17, 2.5 - 1e-16, 0.75], [5.0, -2.5, 1.5]]
    return np.concatenate([rng.uniform(-2.0, 4.0, size=(80, 3)), edges])


@pytest.mark.parametrize("box", BOXES, ids=["plain", "cube", "box"])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_queries_match_brute_force(cls, kw, metric, box):
    P, X = points(), queries()
    tree = cls.from_points(P, leaf_size=4, metric=metric, boxsize=box, **kw)
    k = 6
    dist, idx = tree.query(X, k)
    for q, d, i in zip(X, dist, idx):
        ref = brute(metric, q, P, box)
        assert np.array_equal(np.sort(ref)[:k], d)
        assert np.array_equal(ref[i], d)
        assert tree.query_knn(list(q), k) == i.tolist()
        r = d[3]
        within = sorted(np.flatnonzero(ref <= r).tolist())
        assert sorted(tree.query_radius(list(q), r)) == within
        found, fd = tree.query_ball_point(q, r, return_distance=True)
        assert sorted(found.tolist()) == within and np.array_equal(fd, ref[found])
    h = 0.3
    dens = tree.density(X, h, "epanechnikov")
    for q, v in zip(X, dens):
        u = brute(metric, q, P, box) / h
        assert v == pytest.approx(np.sum(np.where(u < 1.0, (1.0 - u * u) * 0.75, 0.0)), rel=1e-12, abs=1e-12)
    assert dens.tolist() == [tree.kernel_density(list(q), h, "epanechnikov") for q in X]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_bounded_knn(cls, kw, metric):
    P, X = points(200), queries()
    n = len(P)
    tree = cls.from_points(P, leaf_size=3, metric=metric, boxsize=1.0, **kw)
    full_d, full_i = tree.query(X, 12)
    for bound in (0.0, 0.05, 0.2, float(full_d[0, 5]), np.inf):
        d, i = tree.query(X, 12, distance_upper_bound=bound)
        kept = full_d <= bound
        # The nearest within the bound are the unbounded search's first entries.
        assert np.array_equal(np.where(kept, full_d, np.inf), d)
        assert np.array_equal(np.where(kept, full_i, n), i)
    d, i = tree.query(X, 12)
    assert d.tobytes() == full_d.tobytes() and i.tobytes() == full_i.tobytes()
    one = tree.query(X[0], 3, distance_upper_bound=0.0, return_distance=False)
    assert one.tolist() == [n, n, n]


@pytest.mark.parametrize("bad", [-1.0, float("nan"), -np.inf])
def test_bounded_knn_refuses_bad_bounds(bad):
    tree = sp.KDTree.from_points([[0.0], [1.0]])
    with pytest.raises(ValueError, match="^distance_upper_bound must not be negative or NaN$"):
        tree.query([[0.5]], 1, distance_upper_bound=bad)


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_results_do_not_depend_on_workers(cls, kw):
    P = points(2000, 8)
    X = np.random.default_rng(9).uniform(0, 1, size=(3000, 3))
    tree = cls.from_points(P, leaf_size=5, boxsize=[1.0, 2.5, 0.75], **kw)
    runs = []
    for w in (1, 2, -1):
        d, i = tree.query(X, 5, distance_upper_bound=0.4, workers=w)
        b = tree.query_ball_point(X, 0.2, return_distance=True, sort_results=True, workers=w)
        c = tree.query_ball_point(X, 0.2, count_only=True, workers=w)
        e = tree.density(X, 0.1, workers=w)
        f = tree.density(None, 0.1, workers=w)
        runs.append((d.tobytes(), i.tobytes(), [a.tobytes() for a in b[0] + b[1]], c.tobytes(), e.tobytes(),
                     f.tobytes()))
    assert runs[0] == runs[1] == runs[2]


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_points_wrapped_into_the_box(cls, kw):
    # A point a whole number of boxes away is the same point; one at L is at 0.
    P = np.array([[0.25, 0.5], [1.25, -0.5], [1.0, 2.0], [-1e-300, 0.0]])
    tree = cls.from_points(P, leaf_size=1, boxsize=1.0, **kw)
    d, i = tree.query([0.25, 0.5], 4)
    assert sorted(i[:2].tolist()) == [0, 1] and d[:2].tolist() == [0.0, 0.0]
    assert d[2] == d[3] == np.hypot(0.25, 0.5)
    state = tree.__reduce_ex__(4)[1][0]
    stored = np.frombuffer(bytes(state)[48 + 16:48 + 16 + 8 * 8])
    assert stored.min() >= 0.0 and stored.max() < 1.0
    assert tree.boxsize == (1.0, 1.0)


@pytest.mark.parametrize("cls,kw", VARIANTS)
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_points_in_a_periodic_tree(cls, kw, bad):
    P = np.zeros((5, 2))
    P[3, 1] = bad
    with pytest.raises(ValueError, match="^points must be finite in a periodic box, but row 3 is not$"):
        cls.from_points(P, boxsize=1.0, **kw)


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_periodic_tree_pickles_with_its_box(cls, kw):
    tree = cls.from_points(points(), leaf_size=4, metric="manhattan", boxsize=[1.0, 2.5, 0.75], **kw)
    loaded = pickle.loads(pickle.dumps(tree))
    assert loaded.boxsize == (1.0, 2.5, 0.75)
    X = queries()
    assert loaded.query(X, 4)[0].tobytes() == tree.query(X, 4)[0].tobytes()
    assert pickle.dumps(loaded) == pickle.dumps(tree)
    assert bytes(tree.__reduce_ex__(4)[1][0])[4:8] == b"\x02\0\0\0"


# A KDTree state as trees without a box have always written it (version 1): still loaded.
OLD_STATE = bytes.fromhex(
    "5658545301000000000000040000000003000000000000000100000000000000"
    "010000000000000005000000000000000000000000000000000000000000f03f"
    "0000000000000040000000000100000002000000010000000000000002000000"
    "0000000000000000")


def test_state_written_before_boxes_still_loads():
    tree = veltrix._tree_from_state(OLD_STATE)
    assert tree.boxsize is None and tree.query_knn([1.1], 3) == [1, 2, 0]
    assert bytes(tree.__reduce_ex__(4)[1][0]) == OLD_STATE


def test_hostile_periodic_states():
    state = bytearray(sp.KDTree.from_points([[0.5], [0.25]], boxsize=1.0).__reduce_ex__(4)[1][0])
    for offset, value in ((48, -1.0), (48, np.inf), (56, 1.0)):  # the box, then a point outside it
        bad = bytearray(state)
        bad[offset:offset + 8] = np.float64(value).tobytes()
        with pytest.raises(ValueError, match="^Tree state holds an invalid periodic box$"):
            veltrix._tree_from_state(bytes(bad))
