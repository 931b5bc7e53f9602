"""from_points: the tree from_array builds, from every input form, for every worker count;
its refusals name the argument."""

import numpy as np
import pytest

import veltrix

from helpers import METRICS, VARIANTS

sp = veltrix.spatial


def state(tree):
    return bytes(tree.__reduce_ex__(4)[1][0])


def reference(cls, kw, P, **opts):
    a = veltrix.Array.from_numpy(np.ascontiguousarray(P, dtype=np.float64))
    return cls.from_array(a, opts.get("leaf_size", 20), opts.get("metric", "euclidean"), **kw)


def sample(n=500, dim=3, seed=1):
    return np.random.default_rng(seed).normal(size=(n, dim))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS[:3])
def test_same_tree_as_from_array(cls, kw, metric):
    P = sample()
    ref = state(reference(cls, kw, P, leaf_size=7, metric=metric))
    a = veltrix.Array.from_numpy(P)
    for points in (P, a, P.tolist(), [tuple(r) for r in P.tolist()]):
        assert state(cls.from_points(points, leaf_size=7, metric=metric, **kw)) == ref


@pytest.mark.parametrize("cls,kw", VARIANTS[:3])
def test_any_real_dtype_and_layout(cls, kw):
    P = np.round(sample(300, 4, 2) * 8)
    forms = [P.astype(np.float32), P.astype(np.int32), P.astype(np.int64), np.asfortranarray(P),
             np.repeat(P, 2, axis=1)[:, ::2], P[::-1][::-1], P.astype(np.float16)]
    for X in forms:
        want = state(reference(cls, kw, np.asarray(X, dtype=np.float64)))
        assert state(cls.from_points(X, **kw)) == want


@pytest.mark.parametrize("decimals", [None, 2, 0])
@pytest.mark.parametrize("cls,kw", VARIANTS[:3])
def test_tree_is_the_same_for_every_worker_count(cls, kw, decimals):
    # Large enough that the top nodes share their passes over the points among threads; rounded
    # coordinates tie at the median (a few hundred times, or too often for the shared partition).
    P = sample(70000, 3, 3)
    if decimals is not None:
        P = np.round(P, decimals)
    one = state(cls.from_points(P, leaf_size=8, **kw))
    for w in (2, 3, -1):
        assert state(cls.from_points(P, leaf_size=8, workers=w, **kw)) == one
    box = state(cls.from_points(P, leaf_size=8, boxsize=2.0, **kw))
    assert state(cls.from_points(P, leaf_size=8, boxsize=2.0, workers=2, **kw)) == box


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
def test_edge_sets(cls):
    for P in (np.zeros((0, 2)), np.zeros((5, 0)), np.ones((50, 2)), [[1.0]]):
        tree = cls.from_points(P, leaf_size=1)
        assert state(tree) == state(reference(cls, {}, np.asarray(P, dtype=np.float64).reshape(np.shape(P)),
                                              leaf_size=1))


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((np.zeros(3),), {}, ValueError, "points must have two dimensions (n_points, dim), not 1"),
        (([[1.0, 2.0], [3.0]],), {}, ValueError, "points rows must all have the same length"),
        ((np.array([[1j]]),), {}, TypeError, "argument 'points': dtype complex128 does not hold real numbers"),
        (("ab",), {}, TypeError,
         "argument 'points': expected an Array, a NumPy array or a sequence of numbers, not str"),
        (([[np.nan]],), {}, ValueError, "Points must not contain NaN coordinates"),
        (([[1.0]],), {"leaf_size": 0}, ValueError, "leaf_size must be at least 1"),
        (([[1.0]],), {"leaf_size": -1}, OverflowError, None),
        (([[1.0]],), {"metric": "cosine"}, ValueError,
         "Unknown distance metric 'cosine'. Valid options: 'euclidean', 'manhattan', 'chebyshev'"),
        (([[1.0]],), {"workers": 0}, ValueError, "workers must be -1 or at least 1, got 0"),
        (([[1.0, 2.0]],), {"boxsize": [1.0]}, ValueError,
         "boxsize must be one length or one per dimension: got 1 for dimension 2"),
        (([[1.0, 2.0]],), {"boxsize": [[1.0, 1.0]]}, ValueError,
         "boxsize must be one length or one per dimension: got 2 for dimension 2"),
        (([[1.0, 2.0]],), {"boxsize": [1.0, 0.0]}, ValueError, "boxsize lengths must be positive and finite"),
        (([[1.0]],), {"boxsize": np.inf}, ValueError, "boxsize lengths must be positive and finite"),
        (([[1.0]],), {"boxsize": -2}, ValueError, "boxsize lengths must be positive and finite"),
        (([[1.0]],), {"boxsize": "a"}, TypeError,
         "argument 'boxsize': expected an Array, a NumPy array or a sequence of numbers, not str"),
        (([[1.0]], 5), {}, TypeError, None),  # every option is keyword-only
    ],
)
@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
def test_refusals_name_the_argument(cls, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        cls.from_points(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_vp_selection():
    P = sample(100)
    assert state(sp.VPTree.from_points(P, selection="FIRST")) == state(reference(sp.VPTree, {}, P))
    assert sp.VPTree.from_points(P, selection="random").query_knn(P[0].tolist(), 1) == [0]
    with pytest.raises(ValueError, match="^Unknown vantage point selection method 'x'"):
        sp.VPTree.from_points(P, selection="x")
