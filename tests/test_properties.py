"""Well-typed calls with hostile values on the three trees, checked against brute force.

Points come from a small grid (duplicates and exactly repeated pair distances), from wide
ranges (huge and subnormal coordinates) or are absent; radii are 0 or exactly a pair distance,
k runs up to the number of points, bandwidths reach the subnormal and the huge, weights include
zeros. Searches, pair searches, densities (weighted, normalised, logarithmic) and samples are
covered; every answer must equal the brute-force one computed in the library's order of
operations.
VELTRIX_FUZZ_EXAMPLES sets the number of examples (the sanitizer script runs more).
"""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st
from scipy import special

import veltrix

from helpers import METRICS, c_log, distances, same_bits

sp = veltrix.spatial
EXAMPLES = max(20, int(os.environ.get("VELTRIX_FUZZ_EXAMPLES", "300")) // 8)
SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
KERNELS = ["gaussian", "epanechnikov", "uniform", "triangular"]
GRID = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0]
HOSTILE = [1e300, -1e300, 1e154, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300]


def coordinate(wide):
    grid = st.sampled_from(GRID)
    if not wide:
        return grid
    return st.one_of(grid, st.sampled_from(HOSTILE),
                     st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False))


@st.composite
def cases(draw, wide=True):
    """A tree (class, metric, leaf size, extra keywords), its points and query rows."""
    dim = draw(st.integers(1, 3))
    n = draw(st.sampled_from([0, 1, 2, 3, 5, 9, 17, 40]))
    w = wide and draw(st.booleans())
    pts = draw(st.lists(st.lists(coordinate(w), min_size=dim, max_size=dim), min_size=n, max_size=n))
    if n and draw(st.booleans()):
        # Many copies of a few points.
        pts = [pts[draw(st.integers(0, min(n, 3) - 1))] for _ in range(n)]
    m = draw(st.integers(1, 6))
    queries = draw(st.lists(st.one_of(st.sampled_from(pts) if pts else st.nothing(),
                                      st.lists(coordinate(w), min_size=dim, max_size=dim)),
                            min_size=m, max_size=m))
    cls = draw(st.sampled_from([sp.KDTree, sp.BallTree, sp.VPTree]))
    metric = draw(st.sampled_from(METRICS))
    leaf = draw(st.sampled_from([1, 2, 3, 20]))
    kw = {"selection": draw(st.sampled_from(["first", "random"]))} if cls is sp.VPTree else {}
    return cls, metric, leaf, kw, np.array(pts, dtype=float).reshape(n, dim), np.array(queries, dtype=float)


def build(cls, metric, leaf, kw, pts):
    n, dim = pts.shape
    return cls.from_array(veltrix.Array([n, dim], pts.ravel().tolist()), leaf, metric, **kw)


def brute(metric, pts, q):
    # Huge coordinates overflow to infinite distances, as in the library.
    with np.errstate(over="ignore", invalid="ignore"):
        return distances(metric, q, pts) if len(pts) else np.zeros(0)


@SETTINGS
@given(cases(), st.data())
def test_knn_equals_brute_force(case, data):
    cls, metric, leaf, kw, pts, qs = case
    tree = build(cls, metric, leaf, kw, pts)
    n = len(pts)
    k = data.draw(st.sampled_from(sorted({0, min(1, n), n // 2, n})))
    workers = data.draw(st.sampled_from([1, 2]))
    d, i = tree.query(qs, k, workers=workers)
    assert d.shape == i.shape == (len(qs), k)
    for q, drow, irow in zip(qs, d, i):
        ref = brute(metric, pts, q)
        # The k smallest distances, nearest first; the rows are distinct and carry them.
        assert same_bits(drow, np.sort(ref, kind="stable")[:k])
        assert len(set(irow.tolist())) == k
        assert same_bits(ref[irow], drow)
        assert tree.query_knn(q.tolist(), k) == irow.tolist()
    if k < n:
        with pytest.raises(ValueError):
            tree.query(qs, n + 1)


@SETTINGS
@given(cases(), st.data())
def test_radius_equals_brute_force(case, data):
    cls, metric, leaf, kw, pts, qs = case
    tree = build(cls, metric, leaf, kw, pts)
    pair = [float(x) for q in qs for x in brute(metric, pts, q)]
    r = data.draw(st.sampled_from([0.0, 0.5, 1e300] + pair))
    got = tree.query_ball_point(qs, r, return_distance=True, sort_results=True)
    counts = tree.query_ball_point(qs, r, count_only=True, workers=2)
    for q, (rows, dists), c in zip(qs, zip(*got), counts):
        ref = brute(metric, pts, q)
        inside = np.flatnonzero(ref <= r)
        # Sorted by distance, then row number.
        order = sorted(inside.tolist(), key=lambda j: (ref[j], j))
        assert rows.tolist() == order
        assert same_bits(dists, ref[order])
        assert c == len(order)
        assert sorted(tree.query_radius(q.tolist(), r)) == sorted(order)


@SETTINGS
@given(cases(), st.sampled_from(KERNELS),
       st.sampled_from([5e-324, 1e-310, 1e-300, 1e-3, 0.5, 1.0, 7.0, 1e150, 1e300, 1.7976931348623157e308]))
def test_density_equals_brute_force(case, kernel, h):
    cls, metric, leaf, kw, pts, qs = case
    tree = build(cls, metric, leaf, kw, pts)
    got = tree.density(qs, h, kernel, workers=2)
    n = len(pts)
    for q, g in zip(qs, got):
        ref = 0.0
        for dist in brute(metric, pts, q).tolist():
            ref += kernel_value(kernel, dist / h)
        # Nodes whose nearest point weighs below 1e-10 may be skipped.
        assert g == pytest.approx(ref, rel=1e-12, abs=n * 1e-10)
    assert same_bits(got, [tree.kernel_density(q.tolist(), h, kernel) for q in qs])


def kernel_value(name, u):
    if name == "gaussian":
        return math.exp((u * -0.5) * u)
    if not u < 1.0:
        return 0.0
    return {"epanechnikov": (1.0 - u * u) * 0.75, "uniform": 0.5, "triangular": 1.0 - u}[name]


NONFINITE = [math.nan, math.inf, -math.inf]


@SETTINGS
@given(cases(wide=False), st.sampled_from(NONFINITE), st.data())
def test_nonfinite_coordinates(case, bad, data):
    cls, metric, leaf, kw, pts, qs = case
    n, dim = pts.shape
    tree = build(cls, metric, leaf, kw, pts)
    qs = qs.copy()
    qs[data.draw(st.integers(0, len(qs) - 1)), data.draw(st.integers(0, dim - 1))] = bad
    calls = [lambda: tree.query(qs, min(1, n)), lambda: tree.query_ball_point(qs, 1.0),
             lambda: tree.density(qs, 0.5)]
    if math.isnan(bad):
        for call in calls:
            with pytest.raises(ValueError, match="queries must not contain NaN"):
                call()
        if n:
            p = pts.copy()
            p[0, 0] = bad
            with pytest.raises(ValueError, match="Points must not contain NaN"):
                build(cls, metric, leaf, kw, p)
        return
    # An infinite query row is as far as can be from every finite point.
    d, i = tree.query(qs, min(1, n))
    counts = tree.query_ball_point(qs, 1.0, count_only=True)
    dens = tree.density(qs, 0.5)
    for q, drow, c, g in zip(qs, d, counts, dens):
        ref = brute(metric, pts, q)
        assert same_bits(drow, np.sort(ref)[:len(drow)])
        assert c == np.count_nonzero(ref <= 1.0)
        if not np.isfinite(q).all():
            assert g == 0.0 and c == 0


@pytest.mark.parametrize("cls", [sp.KDTree, sp.BallTree, sp.VPTree])
def test_empty_and_one_point_trees(cls):
    empty = cls.from_array(veltrix.zeros([0, 2]))
    qs = np.array([[0.0, 0.0], [1.0, 2.0]])
    d, i = empty.query(qs, 0)
    assert d.shape == i.shape == (2, 0)
    assert empty.query_ball_point(qs, 1.0, count_only=True).tolist() == [0, 0]
    assert empty.density(qs, 1.0).tolist() == [0.0, 0.0]
    one = cls.from_array(veltrix.Array([1, 2], [1.0, 2.0]))
    d, i = one.query(qs, 1)
    assert i.tolist() == [[0], [0]] and d[1, 0] == 0.0
    assert one.query_ball_point(qs, 0.0, count_only=True).tolist() == [0, 1]
    assert one.density(qs, 5e-324, "uniform").tolist() == [0.0, 0.5]


# Periodic boxes: points on and past the edges, compared with minimum-image distances.
from test_periodic import brute as periodic_brute  # noqa: E402


@st.composite
def periodic_cases(draw):
    dim = draw(st.integers(1, 3))
    box = draw(st.sampled_from([1.0, [1.0, 2.5, 0.75][:dim]]))
    lengths = np.broadcast_to(np.asarray(box, dtype=float), (dim,))
    edge = st.integers(0, dim - 1).flatmap(lambda j: st.sampled_from(
        [0.0, -0.0, float(lengths[j]), -float(lengths[j]), float(lengths[j]) / 2, 2 * float(lengths[j]),
         float(np.nextafter(lengths[j], 0.0)), -1e-17]))
    n = draw(st.sampled_from([1, 2, 5, 12]))
    pts = np.array(draw(st.lists(st.lists(edge, min_size=dim, max_size=dim), min_size=n, max_size=n)))
    qs = np.array(draw(st.lists(st.lists(edge, min_size=dim, max_size=dim), min_size=1, max_size=4)))
    cls = draw(st.sampled_from([sp.KDTree, sp.BallTree, sp.VPTree]))
    return cls, draw(st.sampled_from(METRICS)), draw(st.sampled_from([1, 2, 20])), box, pts, qs


@SETTINGS
@given(periodic_cases(), st.data())
def test_periodic_edges_equal_brute_force(case, data):
    cls, metric, leaf, box, pts, qs = case
    tree = cls.from_points(pts, leaf_size=leaf, metric=metric, boxsize=box)
    n = len(pts)
    d, _ = tree.query(qs, n)
    for q, drow in zip(qs, d):
        ref = periodic_brute(metric, q, pts, box)
        assert same_bits(drow, np.sort(ref))
        r = data.draw(st.sampled_from(sorted(set(ref.tolist())) + [0.0]))
        rows = tree.query_ball_point(q, r)
        assert sorted(rows.tolist()) == np.flatnonzero(ref <= r).tolist()


# ---------------------------------------------------------------------------------------------
# Pair searches: every pair against the full distance matrix, on plain trees (hostile values)
# and on periodic ones (points on the box's edges).


@st.composite
def pair_cases(draw):
    """(tree of the points, a tree of the other rows, points, other rows, distance rows)."""
    if draw(st.booleans()):
        cls, metric, leaf, box, pts, qs = draw(periodic_cases())
        kw = {}
        dist = lambda q, p: periodic_brute(metric, q, p, box)  # noqa: E731
        make = lambda x, leaf: cls.from_points(x, leaf_size=leaf, metric=metric, boxsize=box)  # noqa: E731
    else:
        cls, metric, leaf, kw, pts, qs = draw(cases())
        dist = lambda q, p: brute(metric, p, q)  # noqa: E731
        make = lambda x, leaf: build(cls, metric, leaf, kw, x)  # noqa: E731
    other_leaf = draw(st.sampled_from([1, 2, 20]))
    return make(pts, leaf), make(qs, other_leaf), pts, qs, dist


def radius_choices(d):
    """0, exactly a pair distance, and values between or beyond them."""
    finite = d[np.isfinite(d)].tolist()
    return st.sampled_from(sorted(set([0.0, 0.5, 1e300] + finite)))


@SETTINGS
@given(pair_cases(), st.data())
def test_pair_searches_equal_brute_force(case, data):
    tree, other, pts, qs, dist = case
    workers = data.draw(st.sampled_from([1, 2]))
    own = np.array([dist(p, pts) for p in pts]).reshape(len(pts), len(pts))
    r = data.draw(radius_choices(own))
    i, j = np.nonzero(np.triu(own <= r, 1))
    pairs, d = tree.query_pairs(r, return_distance=True, workers=workers)
    assert pairs.shape == (len(i), 2) and pairs.tolist() == np.stack([i, j], 1).tolist()
    assert same_bits(d, own[i, j])

    cross = np.array([dist(p, qs) for p in pts]).reshape(len(pts), len(qs))
    radii = sorted(data.draw(st.lists(radius_choices(cross), min_size=1, max_size=4)))
    cum = [int((cross <= x).sum()) for x in radii]
    bins = np.diff([0] + cum).tolist()
    for o in (other, qs):
        assert tree.count_neighbors(o, radii, workers=workers).tolist() == cum
        assert tree.count_neighbors(o, radii, cumulative=False, workers=workers).tolist() == bins
        assert tree.count_neighbors(o, radii[0], workers=workers) == cum[0]
    # Weights of a few binary fractions, zeros among them: every sum is exact.
    weight = st.sampled_from([0.0, 0.25, 1.0, 3.0])
    wx = np.array(data.draw(st.lists(weight, min_size=len(pts), max_size=len(pts))))
    wy = np.array(data.draw(st.lists(weight, min_size=len(qs), max_size=len(qs))))
    ww = np.outer(wx, wy)
    wcum = [float(ww[cross <= x].sum()) for x in radii]
    assert tree.count_neighbors(other, radii, weights=(wx, wy), workers=workers).tolist() == wcum
    wbins = np.diff([0.0] + wcum).tolist()
    assert tree.count_neighbors(qs, radii, weights=(wx, wy), cumulative=False).tolist() == wbins

    cut = radii[-1]
    rows, cols, d = tree.sparse_distance_matrix(other, cut, workers=workers)
    i, j = np.nonzero(cross <= cut)
    assert rows.tolist() == i.tolist() and cols.tolist() == j.tolist() and same_bits(d, cross[i, j])


# ---------------------------------------------------------------------------------------------
# Weighted, normalised and log densities


@SETTINGS
@given(cases(), st.sampled_from(KERNELS),
       st.sampled_from([5e-324, 1e-300, 1e-3, 0.5, 1.0, 7.0, 1e150, 1e300]), st.data())
def test_weighted_density_equals_brute_force(case, kernel, h, data):
    cls, metric, leaf, kw, pts, qs = case
    tree = build(cls, metric, leaf, kw, pts)
    n, dim = pts.shape
    w = np.array(data.draw(st.lists(st.sampled_from([0.0, 0.0, 0.25, 1.0, 3.0]), min_size=n, max_size=n)))
    workers = data.draw(st.sampled_from([1, 2]))
    got = tree.density(qs, h, kernel, weights=w, workers=workers)
    for q, g in zip(qs, got):
        ref = sum(wi * kernel_value(kernel, dist / h) for wi, dist in zip(w.tolist(), brute(metric, pts, q).tolist()))
        assert g == pytest.approx(ref, rel=1e-12, abs=float(w.sum()) * 1e-10)
    if n and (w == 1.0).all():
        assert same_bits(got, tree.density(qs, h, kernel))

    total = sp._weight_total(w)
    if not total > 0.0:
        with pytest.raises(ValueError):
            tree.density(qs, h, kernel, weights=w, normalize=True)
        return
    normalize = data.draw(st.booleans())
    plain = tree.density(qs, h, kernel, weights=w, normalize=normalize, workers=workers)
    if normalize:
        divisor = sp._density_divisor(total, h, kernel, metric, dim)
        with np.errstate(all="ignore"):
            assert same_bits(plain, got / divisor)
    logs = tree.density(qs, h, kernel, weights=w, normalize=normalize, log=True, workers=workers)
    normal = (plain >= 2.2250738585072014e-308) & (plain < math.inf)
    assert same_bits(logs[normal], c_log(plain[normal]))
    # Elsewhere the log is worked out in log space: of the sum where that is a normal number,
    # else (gaussian) the log-sum-exp of the exact exponents, less the divisor's log.
    for q, value, raw, lg in zip(qs, plain, got, logs):
        if 2.2250738585072014e-308 <= value < math.inf:
            continue
        if raw >= 2.2250738585072014e-308:
            ref = math.log(raw)
        elif kernel == "gaussian":
            with np.errstate(over="ignore"):
                u = brute(metric, pts, q) / h
                ref = float(special.logsumexp((u * -0.5) * u, b=w))
        else:
            ref = -math.inf
        if normalize:
            ref -= math.log(total) + dim * math.log(h) + math.log(sp._kernel_norm(kernel, metric, dim))
        if math.isinf(ref):
            assert lg == ref
        else:
            assert lg == pytest.approx(ref, rel=1e-12, abs=1e-12)


# ---------------------------------------------------------------------------------------------
# Sampling


@SETTINGS
@given(cases(), st.sampled_from(KERNELS), st.sampled_from([5e-324, 1e-3, 0.5, 2.0, 1e150]),
       st.sampled_from([0, 1, 7, 40]), st.integers(0, 2**64 - 1), st.data())
def test_samples_are_reproducible_and_inside_the_support(case, kernel, h, count, seed, data):
    cls, metric, leaf, kw, pts, _ = case
    tree = build(cls, metric, leaf, kw, pts)
    n, dim = pts.shape
    w = np.array(data.draw(st.lists(st.sampled_from([0.0, 0.5, 1.0, 2.0]), min_size=n, max_size=n)))
    weights = w if data.draw(st.booleans()) else None
    draw = lambda g: tree.sample(count, g, h, kernel, weights=weights)  # noqa: E731
    g = veltrix.random.seed(seed)
    if n == 0 or (weights is not None and not w.sum() > 0.0) or (kernel in ("epanechnikov", "triangular")
                                                                   and metric != "euclidean"):
        with pytest.raises(ValueError):
            draw(g)
        # A refused draw leaves the generator alone.
        assert same_bits(g.uniform(0.0, 1.0, [2]).tolist(), veltrix.random.seed(seed).uniform(0.0, 1.0, [2]).tolist())
        return
    s = draw(g)
    assert s.dtype == np.float64 and s.shape == (count, dim)
    again = veltrix.random.seed(seed)
    assert same_bits(draw(again).ravel(), s.ravel())
    assert same_bits(g.uniform(0.0, 1.0, [2]).tolist(), again.uniform(0.0, 1.0, [2]).tolist())
    if np.abs(pts).max(initial=0.0) <= 1e6 and h <= 2.0:
        assert np.isfinite(s).all()
        if kernel != "gaussian":
            # Within h of a point that may be chosen (a rounding's worth of slack).
            chosen = pts if weights is None else pts[w > 0.0]
            for row in s:
                assert brute(metric, chosen, row).min() <= h * (1 + 1e-12) + 1e-9
