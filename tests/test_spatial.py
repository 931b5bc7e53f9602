"""Spatial trees: k-nearest and radius search against brute force, tie order, the bindings."""

import math
import random

import numpy as np
import pytest

import veltrix

from helpers import CLASSES, METRICS, VARIANTS, array, distances, panics

sp = veltrix.spatial


# ---------------------------------------------------------------------------------------------
# Brute-force agreement


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
@pytest.mark.parametrize("n,dim,leaf", [(300, 3, 5), (200, 1, 1), (150, 8, 20), (64, 2, 2)])
def test_knn_and_radius_match_brute_force(cls, kw, metric, n, dim, leaf):
    rng = np.random.default_rng(n * 31 + dim)
    pts = rng.normal(size=(n, dim))
    tree = cls.from_array(veltrix.Array([n, dim], pts.ravel().tolist()), leaf, metric, **kw)
    for q in rng.normal(size=(25, dim)) * 1.3:
        d = distances(metric, q, pts)
        order = np.argsort(d, kind="stable")
        for k in (1, 7, n + 3):
            assert tree.query_knn(q.tolist(), k) == order[:k].tolist()
        r = float(np.quantile(d, 0.1))
        got = tree.query_radius(q.tolist(), r)
        assert len(got) == len(set(got))
        assert set(got) == set(np.nonzero(d <= r)[0].tolist())


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_radius_equal_to_a_point_distance_finds_it(cls, kw, metric):
    # Rounded node bounds must never prune a point lying exactly at the query radius.
    rng = np.random.default_rng(7)
    n, dim = 400, 4
    pts = rng.uniform(-3, 3, size=(n, dim))
    tree = cls.from_array(veltrix.Array([n, dim], pts.ravel().tolist()), 4, metric, **kw)
    for trial in range(300):
        q = rng.uniform(-4, 4, size=dim)
        i = int(rng.integers(n))
        r = float(distances(metric, q, pts[i:i + 1])[0])
        assert i in tree.query_radius(q.tolist(), r)
        # The same point as the k-th neighbour, with k its rank among distinct distances.
        d = distances(metric, q, pts)
        k = int(np.sum(d < r)) + 1
        assert d[tree.query_knn(q.tolist(), k)[-1]] == r


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_duplicate_points_are_all_found(cls, kw):
    pts = [[1.0, 1.0]] * 30 + [[2.0, 2.0]] * 30
    tree = cls.from_array(array(pts), 3, **kw)
    assert sorted(tree.query_radius([1.0, 1.0], 0.0)) == list(range(30))
    assert sorted(tree.query_knn([2.0, 2.0], 30)) == list(range(30, 60))


# ---------------------------------------------------------------------------------------------
# Mended pruning bounds


@pytest.mark.parametrize("leaf", [1, 2])
def test_kd_chebyshev_prunes_with_chebyshev_box_distance(leaf):
    tree = sp.KDTree.from_array(array([[1, 1], [2, 2]]), leaf, "chebyshev")
    assert tree.query_radius([0.0, 0.0], 1.2) == [0]
    assert tree.query_knn([0.0, 0.0], 1) == [0]


@pytest.mark.parametrize("kw", [{}, {"selection": "random"}])
def test_vp_bound_includes_the_vantage_point(kw):
    tree = sp.VPTree.from_array(array([[0], [10], [20]]), 1, **kw)
    assert tree.query_radius([0.0], 1.0) == [0]
    assert tree.query_knn([0.0], 1) == [0]
    for x in (10.0, 20.0):
        assert tree.query_radius([x], 0.0) == [int(x) // 10]


def test_vp_random_selection_measures_each_nodes_own_vantage_point():
    # Builds differ from run to run; many builds over a line give many shapes.
    pts = [[float(i)] for i in range(40)]
    for _ in range(30):
        tree = sp.VPTree.from_array(array(pts), 2, "euclidean", "random")
        for x in range(40):
            assert tree.query_radius([x + 0.25], 0.3) == [x]
            assert tree.query_knn([x + 0.1], 2) == ([x, x + 1] if x < 39 else [39, 38])


# ---------------------------------------------------------------------------------------------
# Tie order: the heap's exact steps, on single-leaf trees whose scan order is the input order


def heap_reference(dists, k):
    """The bounded max-heap, step for step."""
    e = []

    def sift_up(i, x):
        while i > 0 and x[0] > e[(i - 1) // 2][0]:
            e[i] = e[(i - 1) // 2]
            i = (i - 1) // 2
        e[i] = x

    def push(x):
        e.append(x)
        sift_up(len(e) - 1, x)

    def pop():
        x = e.pop()
        if not e:
            return x
        top, n, hole, child = e[0], len(e), 0, 1
        while child <= n - 2:
            if not (e[child][0] > e[child + 1][0]):
                child += 1
            e[hole] = e[child]
            hole, child = child, 2 * child + 1
        if child == n - 1:
            e[hole] = e[child]
            hole = child
        sift_up(hole, x)
        return top

    for row, d in enumerate(dists):
        if len(e) < k:
            push((d, row))
        elif e[0][0] > d:
            pop()
            push((d, row))
    for end in range(len(e) - 1, 0, -1):
        e[0], e[end] = e[end], e[0]
        x, hole, child = e[0], 0, 1
        while child <= end - 2:
            if not (e[child][0] > e[child + 1][0]):
                child += 1
            if not (e[child][0] > x[0]):
                break
            e[hole] = e[child]
            hole, child = child, 2 * child + 1
        if child == end - 1 and x[0] < e[child][0]:
            e[hole] = e[child]
            hole = child
        e[hole] = x
    return [row for _, row in e]


TIE_CASES = [
    [1, 1, 1, 1, 1, 1, 1],
    [2, 1, 2, 1, 2, 1, 2, 1],
    [3, 3, 1, 1, 2, 2, 1, 3, 2],
    [0, 5, 5, 5, 0, 5, 0, 5],
]


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree])
@pytest.mark.parametrize("dists", TIE_CASES)
def test_equal_distances_follow_the_heap_rule(cls, dists):
    pts = [[float(d)] for d in dists]
    tree = cls.from_array(array(pts), len(pts))
    for k in range(1, len(pts) + 1):
        assert tree.query_knn([0.0], k) == heap_reference(dists, k)
    # Both signs of the same distance, interleaved.
    pts2 = [[float(d) * (-1) ** i] for i, d in enumerate(dists)]
    tree2 = cls.from_array(array(pts2), len(pts2))
    for k in range(1, len(pts2) + 1):
        assert tree2.query_knn([0.0], k) == heap_reference(dists, k)


def test_equidistant_query_keeps_the_point_met_first():
    tree = sp.KDTree.from_array(array([[0, 0], [2, 0]]), 20)
    assert tree.query_knn([1.0, 0.0], 1) == [0]
    tree = sp.KDTree.from_array(array([[2, 0], [0, 0]]), 20)
    assert tree.query_knn([1.0, 0.0], 1) == [0]


@pytest.mark.parametrize("cls,first", [(sp.KDTree, 1), (sp.BallTree, 1), (sp.VPTree, 0)])
def test_child_order_on_a_tie_between_children(cls, first):
    # Query 0 is equally far from both children: k-d and ball trees visit the left child (the
    # lower coordinate, row 1) first; the VP root's d_v = 1 < threshold 2 sends it left too,
    # where the vantage point (row 0) lives. The first point found keeps its place.
    assert cls.from_array(array([[1.0], [-1.0]]), 1).query_knn([0.0], 1) == [first]


def test_vp_query_at_the_threshold_visits_the_right_child_first():
    # Points 0, 1, 5: threshold (1 + 5) / 2 = 3; rows 1 and 2 are both at distance 2 from 3.
    assert sp.VPTree.from_array(array([[0.0], [1.0], [5.0]]), 1).query_knn([3.0], 1) == [2]


def test_vp_random_builds_differ():
    pts = array([[math.cos(i), math.sin(i * 1.3)] for i in range(200)])
    orders = {tuple(sp.VPTree.from_array(pts, 5, "euclidean", "random").query_radius([0.0, 0.0], 10.0))
              for _ in range(10)}
    assert len(orders) > 1


# ---------------------------------------------------------------------------------------------
# Edge set-ups


@pytest.mark.parametrize("cls,kw", VARIANTS)
@pytest.mark.parametrize("dim", [0, 2])
def test_empty_tree_answers_everything_empty(cls, kw, dim):
    tree = cls.from_array(veltrix.Array([0, dim], []), 20, **kw)
    q = [0.0] * dim
    assert tree.query_knn(q, 3) == []
    assert tree.query_radius(q, math.inf) == []


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_zero_dimensional_points_beyond_leaf_size(cls, kw):
    tree = cls.from_array(veltrix.Array([50, 0], []), 3, **kw)
    assert sorted(tree.query_radius([], 0.0)) == list(range(50))
    assert len(tree.query_knn([], 5)) == 5


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_single_point_tree(cls, kw):
    tree = cls.from_array(array([[3.0, 4.0]]), 1, **kw)
    assert tree.query_knn([0.0, 0.0], 2) == [0]
    assert tree.query_radius([0.0, 0.0], 5.0) == [0]
    assert tree.query_radius([0.0, 0.0], 4.999) == []


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_k_zero_negative_and_nan_radius(cls, kw):
    tree = cls.from_array(array([[0, 0], [1, 1]]), 1, **kw)
    assert tree.query_knn([0.0, 0.0], 0) == []
    assert tree.query_radius([0.0, 0.0], -1.0) == []
    assert tree.query_radius([0.0, 0.0], math.nan) == []
    assert sorted(tree.query_knn([0.0, 0.0], 2)) == [0, 1]


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_infinite_coordinates_build_and_search(cls, kw):
    pts = [[math.inf, 0.0], [math.inf, 1.0], [0.0, 0.0], [-math.inf, 2.0], [1.0, 1.0]] * 4
    tree = cls.from_array(array(pts), 1, **kw)
    assert sorted(tree.query_radius([0.0, 0.0], 1.5)) == [2, 4, 7, 9, 12, 14, 17, 19]


def test_input_is_copied():
    a = array([[0.0], [1.0]])
    tree = sp.KDTree.from_array(a, 1)
    a[0, 0] = 5.0
    assert tree.query_knn([0.0], 1) == [0]


# ---------------------------------------------------------------------------------------------
# Bindings


def test_classes_registered_in_order_and_shared():
    assert sp.__all__ == ["BallTree", "KDTree", "VPTree"]
    assert sp.KDTree is veltrix.KDTree and sp.BallTree is veltrix.BallTree
    for cls in (sp.KDTree, sp.BallTree, sp.VPTree):
        assert cls.__module__ == "builtins"
        assert cls.__doc__ is None


@pytest.mark.parametrize("cls", CLASSES)
def test_no_constructor(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"cannot create 'builtins.{cls.__name__}' instances"


@pytest.mark.parametrize("cls", CLASSES)
def test_text_signatures(cls):
    extra = ', selection="first"' if cls is sp.VPTree else ""
    assert cls.from_array.__text_signature__ == f'(array, leaf_size=20, metric="euclidean"{extra})'
    assert cls.query_knn.__text_signature__ == "($self, query, k)"
    assert cls.query_radius.__text_signature__ == "($self, query, radius)"
    assert cls.kernel_density.__text_signature__ == '($self, queries=None, bandwidth=1.0, kernel="gaussian")'
    assert cls.kernel_density_approx.__text_signature__ == (
        '($self, queries=None, bandwidth=1.0, kernel="gaussian", criterion="none", min_samples=None, '
        'max_span=None)')


@pytest.mark.parametrize("cls", CLASSES)
def test_from_array_defaults_and_none(cls):
    rng = random.Random(3)
    rows = [[rng.random() for _ in range(3)] for _ in range(100)]
    q = [0.5, 0.5, 0.5]
    ref = cls.from_array(array(rows), 20, "euclidean").query_knn(q, 5)
    assert cls.from_array(array(rows)).query_knn(q, 5) == ref
    assert cls.from_array(array(rows), None, None).query_knn(q, 5) == ref
    assert cls.from_array(array=array(rows), metric="EUCLIDEAN").query_knn(q, 5) == ref


@pytest.mark.parametrize("cls", CLASSES)
def test_metric_names(cls):
    a = array([[0, 0], [3, 4]])
    for name in ("Manhattan", "MANHATTAN", "manhattan"):
        assert sorted(cls.from_array(a, 1, name).query_radius([0.0, 0.0], 7.0)) == [0, 1]
    assert sorted(cls.from_array(a, 1, "MANHATTAN").query_radius([0.0, 0.0], 6.9)) == [0]
    assert sorted(cls.from_array(a, 1, "Chebyshev").query_radius([0.0, 0.0], 4.0)) == [0, 1]
    with pytest.raises(ValueError) as info:
        cls.from_array(a, 1, " manhattan")
    assert str(info.value) == (
        "Unknown distance metric ' manhattan'. Valid options: 'euclidean', 'manhattan', 'chebyshev'")


def test_vp_selection_names():
    a = array([[0.0], [1.0], [2.0]])
    assert sp.VPTree.from_array(a, 1, "euclidean", "RANDOM").query_knn([0.0], 1) == [0]
    assert sp.VPTree.from_array(a, 1, None, None).query_knn([2.0], 1) == [2]
    with pytest.raises(ValueError) as info:
        sp.VPTree.from_array(a, 1, "euclidean", "middle")
    assert str(info.value) == "Unknown vantage point selection method 'middle'. Valid options: 'first', 'random'"
    # The metric is parsed first.
    with pytest.raises(ValueError, match="^Unknown distance metric 'x'"):
        sp.VPTree.from_array(a, 1, "x", "middle")


@pytest.mark.parametrize("cls", CLASSES)
def test_from_array_refusals(cls):
    with pytest.raises(ValueError) as info:
        cls.from_array(array([[0.0, 1.0], [math.nan, 2.0]]))
    assert str(info.value) == "Points must not contain NaN coordinates"
    with pytest.raises(ValueError) as info:
        cls.from_array(array([[0.0, 1.0]]), 0)
    assert str(info.value) == "leaf_size must be at least 1"
    with panics("Expected 2D array (n_points, dim)"):
        cls.from_array(veltrix.Array([4], [1.0, 2.0, 3.0, 4.0]))
    with pytest.raises(TypeError, match="^argument 'array': "):
        cls.from_array([[0.0, 1.0]])
    with pytest.raises(OverflowError):
        cls.from_array(array([[0.0]]), -1)


@pytest.mark.parametrize("cls", CLASSES)
def test_query_forms(cls):
    line = cls.from_array(array([[0.0], [4.0], [9.0]]), 1)
    assert line.query_knn(5.0, 1) == [1]
    assert line.query_knn(5, 1) == [1]
    assert line.query_knn(np.float64(8.0), 1) == [2]
    plane = cls.from_array(array([[0, 0], [1, 1], [5, 5]]), 1)
    assert plane.query_knn([0.0, 0.0], 0) == []
    assert sorted(plane.query_radius((0.0, 0.0), 1.5)) == [0, 1]
    assert plane.query_knn(np.array([4.0, 4.0]), 1) == [2]
    # An Array of any shape counts by its elements.
    assert plane.query_knn(veltrix.Array([2], [5.0, 5.0]), 1) == [2]
    assert plane.query_knn(veltrix.Array([1, 2], [1.0, 1.0]), 1) == [1]
    assert plane.query_knn(veltrix.Array([2, 1], [1.0, 1.0]), 1) == [1]
    with pytest.raises(ValueError) as info:
        plane.query_knn(5.0, 1)
    assert str(info.value) == "Query vector length 1 doesn't match tree dimension 2"
    with pytest.raises(ValueError) as info:
        plane.query_radius(veltrix.Array([3], [1.0, 1.0, 1.0]), 1.0)
    assert str(info.value) == "Query vector length 3 doesn't match tree dimension 2"
    for bad in ("ab", None, [[0.0, 0.0]], object()):
        with pytest.raises(ValueError) as info:
            plane.query_knn(bad, 1)
        assert str(info.value) == "query must be a scalar, list, or Array"


@pytest.mark.parametrize("cls", CLASSES)
def test_argument_conversions_come_first(cls):
    tree = cls.from_array(array([[0.0, 0.0]]))
    # k (and radius) convert before the query is looked at.
    with pytest.raises(TypeError, match="^argument 'k': "):
        tree.query_knn("ab", "3")
    with pytest.raises(OverflowError):
        tree.query_knn([0.0, 0.0], -1)
    with pytest.raises(TypeError, match="^argument 'radius': "):
        tree.query_radius("ab", "x")
    assert tree.query_knn(query=[0.0, 0.0], k=1) == [0]
    with pytest.raises(TypeError):
        tree.query_knn([0.0, 0.0])
