"""Kernel density estimation on the three trees: brute-force sums, approximation criteria,
query forms and messages."""

import math

import numpy as np
import pytest

import veltrix

from helpers import CLASSES, METRICS, VARIANTS, array, assertion_text, distances, panics, same_bits

sp = veltrix.spatial
KERNELS = ["gaussian", "epanechnikov", "uniform", "triangular"]


def kernel(name, u):
    if name == "gaussian":
        return math.exp((u * -0.5) * u)
    if not u < 1.0:
        return 0.0
    return {"epanechnikov": (1.0 - u * u) * 0.75, "uniform": 0.5, "triangular": 1.0 - u}[name]


def brute(metric, name, q, pts, h):
    return sum(kernel(name, d / h) for d in distances(metric, np.asarray(q), pts))


def values(result):
    return [result] if isinstance(result, float) else result.tolist()


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_exact_density_matches_brute_force(cls, kw, metric, name):
    rng = np.random.default_rng(11)
    n, dim = 250, 3
    pts = rng.normal(size=(n, dim))
    tree = cls.from_array(veltrix.Array([n, dim], pts.ravel().tolist()), 6, metric, **kw)
    qs = rng.normal(size=(12, dim)) * 1.5
    for h in (0.3, 1.0, 4.0):
        got = tree.kernel_density(veltrix.Array([12, dim], qs.ravel().tolist()), h, name).tolist()
        for g, q in zip(got, qs):
            # Skipped nodes drop contributions below 1e-10 per point.
            assert g == pytest.approx(brute(metric, name, q, pts, h), rel=1e-12, abs=n * 1e-10)


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree])
def test_single_leaf_sums_in_input_order_bit_for_bit(cls, name):
    rng = np.random.default_rng(5)
    pts = rng.uniform(-1, 1, size=(40, 2))
    tree = cls.from_array(veltrix.Array([40, 2], pts.ravel().tolist()), 40)
    q = [0.1, -0.2]
    acc = 0.0
    for d in distances("euclidean", np.asarray(q), pts):
        acc = acc + kernel(name, d / 0.7)
    assert same_bits([tree.kernel_density(q, 0.7, name)], [acc])


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_examples(cls, kw):
    one = cls.from_array(array([[2.0, 3.0]]), **kw)
    assert one.kernel_density([2.0, 3.0]) == 1.0
    line = cls.from_array(array([[0.0]]), **kw)
    assert line.kernel_density(2.0, 2.0, "uniform") == 0.0
    assert line.kernel_density(1.0, 2.0, "uniform") == 0.5
    assert line.kernel_density(0.0, 4.0, "epanechnikov") == 0.75
    assert line.kernel_density(1.0, 4.0, "triangular") == 0.75
    far = cls.from_array(array([[float(i), 0.0] for i in range(100)]), 5, **kw)
    assert same_bits([far.kernel_density([1e4, 1e4])], [0.0])


def test_min_samples_zero_approximates_the_whole_root():
    tree = sp.KDTree.from_array(array([[float(i)] for i in range(100)]), 20)
    got = tree.kernel_density_approx(0.0, 1000.0, "uniform", "min_samples", 0)
    assert got == 50.0
    assert tree.kernel_density(0.0, 1000.0, "uniform") == 50.0


@pytest.mark.parametrize("cls,kw", VARIANTS)
@pytest.mark.parametrize("crit", [("min_samples", 0, None), ("max_span", None, 1e9), ("combined", 0, 1e9)])
def test_root_leaf_is_never_approximated(cls, kw, crit):
    rng = np.random.default_rng(2)
    pts = rng.normal(size=(20, 2))
    tree = cls.from_array(veltrix.Array([20, 2], pts.ravel().tolist()), 20, **kw)
    q = veltrix.Array([3, 2], rng.normal(size=6).tolist())
    exact = tree.kernel_density(q, 0.8, "epanechnikov").tolist()
    assert tree.kernel_density_approx(q, 0.8, "epanechnikov", *crit).tolist() == exact


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_approximations(cls, kw, name):
    rng = np.random.default_rng(9)
    n = 400
    pts = rng.uniform(size=(n, 2))
    tree = cls.from_array(veltrix.Array([n, 2], pts.ravel().tolist()), 8, **kw)
    q = veltrix.Array([5, 2], rng.uniform(size=10).tolist())
    exact = tree.kernel_density(q, 0.5, name).tolist()
    assert tree.kernel_density_approx(q, 0.5, name).tolist() == exact
    assert tree.kernel_density_approx(q, 0.5, name, "none", 0, 0.0).tolist() == exact
    # Thresholds no internal node meets.
    assert tree.kernel_density_approx(q, 0.5, name, "min_samples", n + 1).tolist() == exact
    assert tree.kernel_density_approx(q, 0.5, name, "max_span", max_span=-1.0).tolist() == exact
    assert tree.kernel_density_approx(q, 0.5, name, "max_span", max_span=math.nan).tolist() == exact
    assert tree.kernel_density_approx(q, 0.5, name, "combined", 0, -1.0).tolist() == exact
    # Every approximated node is replaced by n times a mean of two kernel values.
    for args in (("min_samples", 50), ("max_span", None, 0.3), ("combined", 20, 0.5)):
        approx = tree.kernel_density_approx(q, 0.5, name, *args).tolist()
        assert all(0.0 <= a <= n for a in approx)
        assert approx != exact
    # With a huge bandwidth the uniform kernel weighs every point 0.5, approximated or not.
    assert tree.kernel_density_approx(q, 1e6, "uniform", "min_samples", 0).tolist() == [n * 0.5] * 5


# ---------------------------------------------------------------------------------------------
# Mends


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_density_at_own_points_is_in_input_row_order(cls, kw):
    rng = np.random.default_rng(4)
    pts = rng.normal(size=(60, 2))
    tree = cls.from_array(veltrix.Array([60, 2], pts.ravel().tolist()), 3, **kw)
    own = tree.kernel_density(None, 0.4, "triangular").tolist()
    assert own == [tree.kernel_density(p.tolist(), 0.4, "triangular") for p in pts]
    assert tree.kernel_density_approx(bandwidth=0.4, kernel="triangular").tolist() == own


@pytest.mark.parametrize("cls,kw", VARIANTS)
@pytest.mark.parametrize("h", [0.0, -1.0, math.nan, -math.inf])
def test_non_positive_bandwidth_is_refused(cls, kw, h):
    tree = cls.from_array(array([[0.0], [1.0]]), **kw)
    for call in (lambda: tree.kernel_density(0.5, h, "uniform"),
                 lambda: tree.kernel_density_approx(None, h, "uniform", "min_samples", 1)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "bandwidth must be positive"


@pytest.mark.parametrize("kw", [{}, {"selection": "random"}])
def test_vp_negligible_test_counts_the_vantage_point(kw):
    tree = sp.VPTree.from_array(array([[0.0], [10.0], [20.0]]), 1, **kw)
    assert tree.kernel_density(0.0) == 1.0
    assert tree.kernel_density(20.0, 1.0, "uniform") == 0.5


@pytest.mark.parametrize("leaf", [1, 20])
def test_kd_chebyshev_negligible_test_uses_chebyshev_box(leaf):
    tree = sp.KDTree.from_array(array([[1, 1], [2, 2]]), leaf, "chebyshev")
    assert tree.kernel_density([0.0, 0.0], 1.2, "uniform") == 0.5


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_point_just_inside_the_support_is_counted(cls, kw):
    # Rounded node bounds must not skip a node whose point lies just inside a bounded kernel.
    rng = np.random.default_rng(8)
    pts = rng.uniform(-3, 3, size=(300, 3))
    tree = cls.from_array(veltrix.Array([300, 3], pts.ravel().tolist()), 4, "manhattan", **kw)
    for _ in range(150):
        q = rng.uniform(-4, 4, size=3)
        d = distances("manhattan", q, pts)
        h = float(np.nextafter(d[rng.integers(300)], math.inf))
        assert tree.kernel_density(q.tolist(), h, "uniform") == brute("manhattan", "uniform", q, pts, h)


@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_empty_tree_densities(cls, kw):
    tree = cls.from_array(veltrix.Array([0, 2], []), **kw)
    empty = tree.kernel_density()
    assert isinstance(empty, veltrix.Array) and empty.shape == [0]
    assert tree.kernel_density([1.0, 2.0]) == 0.0
    assert tree.kernel_density_approx(veltrix.Array([3, 2], [0.0] * 6), 1.0, "gaussian", "min_samples", 0).tolist() == [0.0] * 3


# ---------------------------------------------------------------------------------------------
# Bindings


@pytest.mark.parametrize("cls", CLASSES)
def test_query_forms(cls):
    plane = cls.from_array(array([[0, 0], [1, 0], [0, 3]]), 1)
    row = plane.kernel_density(veltrix.Array([2], [0.0, 0.0]))
    assert isinstance(row, float)
    assert plane.kernel_density([0.0, 0.0]) == row == plane.kernel_density((0.0, 0.0))
    assert plane.kernel_density(veltrix.Array([1, 2], [0.0, 0.0])) == row
    both = plane.kernel_density(veltrix.Array([2, 2], [0.0, 0.0, 1.0, 0.0]))
    assert isinstance(both, veltrix.Array) and both.shape == [2] and both.tolist()[0] == row
    none = plane.kernel_density(veltrix.Array([0, 2], []))
    assert isinstance(none, veltrix.Array) and none.shape == [0]
    own = plane.kernel_density()
    assert own.shape == [3] and own.tolist()[0] == row
    single = cls.from_array(array([[1.0, 1.0]]))
    assert single.kernel_density() == 1.0
    line = cls.from_array(array([[0.0], [1.0]]), 1)
    assert line.kernel_density(0.0) == line.kernel_density([0.0]) == line.kernel_density(0)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("method", ["kernel_density", "kernel_density_approx"])
def test_query_refusals(cls, method):
    plane = cls.from_array(array([[0, 0], [1, 0]]), 1)
    call = getattr(plane, method)
    cases = [
        ([[0.0, 0.0]], "queries must be a scalar, list, or Array"),
        ("ab", "queries must be a scalar, list, or Array"),
        (object(), "queries must be a scalar, list, or Array"),
        ([1.0, 2.0, 3.0], "Query vector length 3 doesn't match tree dimension 2"),
        (veltrix.Array([2, 3], [0.0] * 6), "Query dimension 3 doesn't match tree dimension 2"),
        (veltrix.Array([1], [0.0]), "Query dimension 1 doesn't match tree dimension 2"),
        (veltrix.Array([1, 1, 2], [0.0, 0.0]), "queries must be 1D or 2D array"),
        (veltrix.Array([], [0.0]), "queries must be 1D or 2D array"),
    ]
    for queries, message in cases:
        with pytest.raises(ValueError) as info:
            call(queries)
        assert str(info.value) == message
    # A number is one query of width 1, checked only by the core.
    with panics(assertion_text("Query dimension must match tree dimension", 1, 2)):
        call(1.0)


@pytest.mark.parametrize("cls", CLASSES)
def test_kernel_and_criterion_parsing(cls):
    tree = cls.from_array(array([[0.0], [1.0], [2.0]]), 1)
    assert tree.kernel_density(0.0, None, None) == tree.kernel_density(0.0, 1.0, "Gaussian")
    assert tree.kernel_density(0.0, 1.0, "UNIFORM") == 0.5
    with pytest.raises(ValueError) as info:
        tree.kernel_density(0.0, 1.0, "Cosine")
    assert str(info.value) == (
        "Unknown kernel type 'Cosine'. Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'")
    approx = tree.kernel_density_approx
    assert approx(0.0, 1.0, "gaussian", "MAX_SPAN", None, 0.5) == approx(0.0, 1.0, "gaussian", "max_span", None, 0.5)
    assert approx(0.0, 1.0, "gaussian", None) == tree.kernel_density(0.0)
    messages = [
        (("gaussian", "max-span"), "Unknown approximation criterion 'max-span'. Valid options: "
                                   "'none', 'min_samples', 'max_span', 'combined'"),
        (("gaussian", "min_samples", None, 1.0), "min_samples parameter required for 'min_samples' criterion"),
        (("gaussian", "max_span", 3), "max_span parameter required for 'max_span' criterion"),
        (("gaussian", "combined"), "min_samples parameter required for 'combined' criterion"),
        (("gaussian", "combined", 3), "max_span parameter required for 'combined' criterion"),
        # The kernel is parsed first.
        (("cosine", "max-span"), "Unknown kernel type 'cosine'. Valid options: 'gaussian', 'epanechnikov', "
                                 "'uniform', 'triangular'"),
    ]
    for args, message in messages:
        with pytest.raises(ValueError) as info:
            approx(0.0, 1.0, *args)
        assert str(info.value) == message
    # Criterion errors come before the queries are examined; argument conversions before both.
    with pytest.raises(ValueError, match="^min_samples parameter required"):
        approx("bad", 1.0, "gaussian", "combined")
    with pytest.raises(OverflowError):
        approx(0.0, 1.0, "cosine", "none", -1)
    with pytest.raises(TypeError, match="^argument 'max_span': "):
        approx(0.0, 1.0, "cosine", "none", None, "x")
    with pytest.raises(TypeError, match="^argument 'bandwidth': "):
        tree.kernel_density(0.0, "x", "cosine")
