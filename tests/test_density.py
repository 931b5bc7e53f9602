"""Weighted, normalised and log densities, bandwidth rules and sampling on the three trees."""

import math
import pathlib
import re

import numpy as np
import pytest
from scipy import special, stats
from sklearn.neighbors import KernelDensity

import veltrix

from helpers import METRICS, VARIANTS, c_log, distances, same_bits

sp = veltrix.spatial
KERNELS = ["gaussian", "epanechnikov", "uniform", "triangular"]
SKLEARN_NAMES = {"gaussian": "gaussian", "epanechnikov": "epanechnikov", "uniform": "tophat",
                 "triangular": "linear"}


def kernel(name, u):
    u = np.asarray(u, dtype=float)
    if name == "gaussian":
        return np.exp((u * -0.5) * u)
    inside = u < 1.0
    value = {"epanechnikov": (1.0 - u * u) * 0.75, "uniform": np.full_like(u, 0.5),
             "triangular": 1.0 - u}[name]
    return np.where(inside, value, 0.0)


def tree_of(cls, x, metric="euclidean", leaf_size=8, **kw):
    return cls.from_array(veltrix.Array.from_numpy(np.ascontiguousarray(x, dtype=float)), leaf_size, metric, **kw)


def data(n=300, dim=3, seed=25):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, dim)), rng.normal(size=(40, dim)) * 1.3, rng.uniform(0.0, 2.0, n)


# ---------------------------------------------------------------------------------------------
# Weights


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_weighted_density_matches_brute_force_for_every_worker_count(cls, kw, metric, name):
    x, q, w = data()
    w[::7] = 0.0
    tree = tree_of(cls, x, metric, **kw)
    h = 0.8
    got = tree.density(q, h, name, weights=w)
    # Plain NumPy sums in input-row order: no tree order, no pruning.
    ref = np.array([np.sum(w * kernel(name, distances(metric, row, x) / h)) for row in q])
    np.testing.assert_allclose(got, ref, rtol=1e-12, atol=len(x) * 2e-10)
    for workers in (2, 3, -1):
        assert same_bits(tree.density(q, h, name, weights=w, workers=workers), got)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_points_too_far_apart_to_square_still_count(cls, kw, periodic):
    # Manhattan distances of 1e300 are finite while their squares are not: a bound built from
    # squared gaps once pruned such points although the bandwidth reached them.
    x = np.array([[0.0], [0.0], [0.0], [0.0], [1e300]])
    box = {"boxsize": 1.5e300} if periodic else {}
    tree = cls.from_points(x, leaf_size=1, metric="manhattan", **box, **kw)
    h = 1.7976931348623157e308
    for name, each in [("epanechnikov", 0.75), ("uniform", 0.5), ("triangular", 1.0)]:
        assert tree.density([[0.0]], h, name)[0] == pytest.approx(5 * each, rel=1e-8)


@pytest.mark.parametrize("criterion", [{}, {"criterion": "min_samples", "min_samples": 30},
                                       {"criterion": "combined", "min_samples": 10, "max_span": 2.0}])
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_weights_of_ones_give_the_unweighted_bits(cls, kw, criterion):
    x, q, _ = data()
    tree = tree_of(cls, x, "manhattan", **kw)
    for X in (q, None):
        plain = tree.density(X, 0.6, "epanechnikov", **criterion)
        assert same_bits(tree.density(X, 0.6, "epanechnikov", weights=np.ones(len(x)), **criterion), plain)
        assert same_bits(tree.density(X, 0.6, "epanechnikov", weights=[1] * len(x), **criterion), plain)


def test_approximated_nodes_count_their_weight():
    # One internal root approximated at once: (K(far) + K(near)) / 2 times the weight sum.
    x = np.arange(100.0).reshape(100, 1)
    tree = tree_of(sp.KDTree, x, leaf_size=20)
    w = np.full(100, 0.25)
    got = tree.density([[0.0]], 1000.0, "uniform", weights=w, criterion="min_samples", min_samples=0)
    assert got[0] == 0.5 * 25.0


# ---------------------------------------------------------------------------------------------
# Normalisation constants


NORMS = {"euclidean": lambda v: np.sqrt((v * v).sum(1)), "manhattan": lambda v: v.sum(1),
         "chebyshev": lambda v: v.max(1)}


def integrate_kernel(name, metric, dim, nodes=48):
    """The kernel's integral over space: nested Gauss-Legendre rules over the positive orthant
    (times 2^d), each coordinate's range ending at the support's edge and split where the
    chebyshev maximum has its kink, so that the integrand is smooth on every piece."""
    t, wt = np.polynomial.legendre.leggauss(nodes)
    reach = 9.0 if name == "gaussian" else 1.0
    coords, weight = np.zeros((1, 0)), np.ones(1)
    for _ in range(dim):
        if name == "gaussian" or coords.shape[1] == 0:
            top = np.full(len(weight), reach)
        elif metric == "euclidean":
            top = np.sqrt(np.maximum(0.0, 1.0 - (coords ** 2).sum(1)))
        elif metric == "manhattan":
            top = np.maximum(0.0, 1.0 - coords.sum(1))
        else:
            top = np.ones(len(weight))
        kink = np.minimum(coords.max(1), top) if metric == "chebyshev" and coords.shape[1] else top
        pieces_c, pieces_w = [], []
        for a, b in ((np.zeros_like(top), kink), (kink, top)):
            half = (b - a) / 2
            x = a[:, None] + half[:, None] * (t + 1)
            pieces_c.append(np.concatenate([np.repeat(coords, nodes, 0), x.reshape(-1, 1)], 1))
            pieces_w.append((weight[:, None] * half[:, None] * wt).ravel())
        coords, weight = np.concatenate(pieces_c), np.concatenate(pieces_w)
    return float((kernel(name, NORMS[metric](coords)) * weight).sum()) * 2.0 ** dim


@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("name", KERNELS)
def test_kernel_norm_is_the_kernel_integral(name, metric, dim):
    assert sp._kernel_norm(name, metric, dim) == pytest.approx(integrate_kernel(name, metric, dim), rel=1e-5)


@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("name", KERNELS)
def test_normalised_log_density_matches_scikit_learn(name, dim):
    x, q, w = data(dim=dim)
    h = 0.9
    tree = tree_of(sp.BallTree, x)
    for weights in (None, w):
        ours = tree.density(q, h, name, weights=weights, normalize=True, log=True)
        theirs = KernelDensity(kernel=SKLEARN_NAMES[name], bandwidth=h, rtol=0, atol=0).fit(
            x, sample_weight=weights).score_samples(q)
        finite = np.isfinite(ours)
        np.testing.assert_allclose(ours[finite], theirs[finite], rtol=1e-12, atol=1e-12)
        # No point within reach: scikit-learn reports a tiny value (or -inf) for the empty sum.
        assert np.all(theirs[~finite] < -30.0)


# ---------------------------------------------------------------------------------------------
# Logarithms


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_log_is_the_log_of_the_value_and_finite_far_away(cls, kw, metric):
    x, q, w = data()
    tree = tree_of(cls, x, metric, **kw)
    far = np.vstack([q, [[60.0, -40.0, 10.0], [1e3, 0.0, 0.0]]])
    for weights in (None, w):
        for normalize in (False, True):
            plain = tree.density(far, 0.5, weights=weights, normalize=normalize)
            logs = tree.density(far, 0.5, weights=weights, normalize=normalize, log=True)
            ok = plain > 0
            assert same_bits(logs[ok], c_log(plain[ok]))
            assert np.all(np.isfinite(logs)) and np.all(plain[-2:] == 0.0)
            for workers in (2, -1):
                assert same_bits(tree.density(far, 0.5, weights=weights, normalize=normalize, log=True,
                                              workers=workers), logs)
    # Far out, every term underflows: the log-sum-exp of the exact exponents.
    d = distances(metric, far[-1], x) / 0.5
    expected = special.logsumexp((d * -0.5) * d, b=w)
    assert tree.density(far[-1:], 0.5, weights=w, log=True)[0] == pytest.approx(expected, rel=1e-14)
    assert tree.density(far[-1:], 0.5, "triangular", log=True)[0] == -math.inf


# ---------------------------------------------------------------------------------------------
# Bandwidth rules


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("dim", [1, 2, 4])
def test_bandwidth_rules_follow_their_formulas_and_scipy(dim, weighted):
    rng = np.random.default_rng(dim)
    x = rng.normal(size=(500, dim)) * 1.7
    w = rng.uniform(0.1, 3.0, 500) if weighted else None
    tree = tree_of(sp.VPTree, x)
    cov = np.atleast_2d(np.cov(x.T, aweights=w))
    s = math.sqrt(np.mean(np.diag(cov)))
    n = 500.0 if w is None else w.sum() ** 2 / (w * w).sum()
    scott, silverman = n ** (-1 / (dim + 4)), (n * (dim + 2) / 4) ** (-1 / (dim + 4))
    assert tree.bandwidth("scott", weights=w) == pytest.approx(s * scott, rel=1e-12)
    assert tree.bandwidth("SILVERMAN", weights=w) == pytest.approx(s * silverman, rel=1e-12)
    kde_scott = stats.gaussian_kde(x.T, "scott", weights=w)
    kde_silverman = stats.gaussian_kde(x.T, "silverman", weights=w)
    assert scott == pytest.approx(kde_scott.factor, rel=1e-12)
    assert silverman == pytest.approx(kde_silverman.factor, rel=1e-12)
    # A rule as the bandwidth of density and sample is that number.
    h = tree.bandwidth("silverman", weights=w)
    assert same_bits(tree.density(x[:5], "silverman", weights=w), tree.density(x[:5], h, weights=w))
    g1, g2 = veltrix.random.Generator.from_seed(4), veltrix.random.Generator.from_seed(4)
    assert same_bits(tree.sample(7, g1, "scott").ravel(), tree.sample(7, g2, tree.bandwidth("scott")).ravel())


# ---------------------------------------------------------------------------------------------
# Sampling


def test_sample_advances_the_generator_as_documented():
    x, _, w = data(n=50)
    tree = tree_of(sp.KDTree, x, "chebyshev")
    g, ref = veltrix.random.Generator.from_seed(9), veltrix.random.Generator.from_seed(9)
    got = tree.sample(1000, g, 0.3)
    u = ref.uniform(0.0, 1.0, [1000]).to_numpy()
    z = ref.standard_normal([1000, 3]).to_numpy()
    v = ref.uniform(-1.0, 1.0, [1000, 3]).to_numpy()
    sq = 0.0
    for j in range(3):
        sq = z[:, j] * z[:, j] + sq
    # Gaussian offsets under Chebyshev: the length of the normals along a cube-surface direction.
    scale = (np.sqrt(sq) / np.abs(v).max(axis=1)) * 0.3
    assert same_bits(got.ravel(), (x[np.minimum((u * 50).astype(int), 49)] + v * scale[:, None]).ravel())
    got = tree.sample(1000, g, 0.3, "uniform", weights=w)
    u = ref.uniform(0.0, 1.0, [1000]).to_numpy()
    v = ref.uniform(-1.0, 1.0, [1000, 3]).to_numpy()
    rows = np.searchsorted(np.cumsum(w), u * w.sum(), side="right")
    assert same_bits(got.ravel(), (x[rows] + v * 0.3).ravel())
    assert g.uniform(0.0, 1.0, [4]).tolist() == ref.uniform(0.0, 1.0, [4]).tolist()


@pytest.mark.parametrize("metric,name,draws", [
    ("manhattan", "uniform", lambda g, n, d: g.uniform(0.0, 1.0, [n, 2 * d])),
    ("euclidean", "uniform", lambda g, n, d: (g.standard_normal([n, d]), g.beta(d, 1.0, [n]))),
    ("euclidean", "epanechnikov", lambda g, n, d: (g.standard_normal([n, d]), g.beta(d / 2, 2.0, [n]))),
    ("euclidean", "triangular", lambda g, n, d: (g.standard_normal([n, d]), g.beta(d, 2.0, [n]))),
])
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_sample_is_reproducible_and_draws_what_it_documents(cls, kw, metric, name, draws):
    x, _, _ = data(n=80)
    tree = tree_of(cls, x, metric, **kw)
    g1, g2, ref = (veltrix.random.Generator.from_seed(3) for _ in range(3))
    a = tree.sample(300, g1, 0.2, name)
    assert a.shape == (300, 3) and a.dtype == np.float64
    assert same_bits(a.ravel(), tree.sample(300, g2, 0.2, name).ravel())
    ref.uniform(0.0, 1.0, [300])
    draws(ref, 300, 3)
    assert same_bits(g1.uniform(0.0, 1.0, [3]).tolist(), ref.uniform(0.0, 1.0, [3]).tolist())


def test_weighted_choices_pass_a_chi_square_test():
    x = np.arange(6.0).reshape(6, 1) * 10.0
    w = np.array([1.0, 0.0, 2.0, 3.0, 0.5, 3.5])
    rows = np.rint(tree_of(sp.KDTree, x).sample(20_000, veltrix.random.Generator.from_seed(1), 1e-6,
                                                    "uniform", weights=w)[:, 0] / 10.0).astype(int)
    counts = np.bincount(rows, minlength=6)
    assert counts[1] == 0
    keep = w > 0
    expected = w[keep] / w.sum() * 20_000
    assert stats.chisquare(counts[keep], expected).pvalue > 1e-3


def radial_cdf(name, metric, d):
    if name == "gaussian":
        return lambda r: stats.chi.cdf(r, d)
    return {"uniform": lambda r: r ** d,
            "epanechnikov": lambda r: ((d + 2) * r ** d - d * r ** (d + 2)) / 2,
            "triangular": lambda r: (d + 1) * r ** d - d * r ** (d + 1)}[name]


@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("name,metric", [("gaussian", "euclidean"), ("gaussian", "manhattan"),
                                         ("gaussian", "chebyshev"), ("uniform", "euclidean"),
                                         ("epanechnikov", "euclidean"), ("triangular", "euclidean"),
                                         ("uniform", "manhattan"), ("uniform", "chebyshev")])
def test_offsets_follow_the_radial_law(name, metric, dim):
    tree = tree_of(sp.BallTree, np.zeros((1, dim)), metric)
    s = tree.sample(4000, veltrix.random.Generator.from_seed(dim), 0.5, name) / 0.5
    r = distances(metric, np.zeros(dim), s)
    assert stats.kstest(r, radial_cdf(name, metric, dim)).pvalue > 1e-3
    if dim > 1 and name != "gaussian":
        # Directions: each coordinate's sign is a fair coin.
        assert abs(np.mean(s[:, 0] > 0) - 0.5) < 0.05


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("cls,kw", VARIANTS)
def test_periodic_trees_use_the_periodic_distance_and_wrap_samples(cls, kw, metric):
    rng = np.random.default_rng(8)
    box = np.array([1.0, 2.0, 0.5])
    x, q, w = rng.uniform(size=(200, 3)) * box, rng.uniform(-1, 2, size=(20, 3)), rng.uniform(size=200)
    tree = cls.from_points(x, leaf_size=8, metric=metric, boxsize=box, **kw)
    t = np.abs(((q % box)[:, None, :]) - x[None, :, :])
    t = np.minimum(t, box - t)
    d = {"euclidean": lambda t: np.sqrt((t * t).sum(-1)), "manhattan": lambda t: t.sum(-1),
         "chebyshev": lambda t: t.max(-1)}[metric](t)
    np.testing.assert_allclose(tree.density(q, 0.2, "epanechnikov", weights=w),
                               (w * kernel("epanechnikov", d / 0.2)).sum(1), rtol=1e-12, atol=1e-12)
    s = tree.sample(500, veltrix.random.Generator.from_seed(2), 0.3, "uniform")
    assert np.all((s >= 0.0) & (s < box))


# ---------------------------------------------------------------------------------------------
# Errors


def _cases():
    x, q, w = data(n=20)
    t = tree_of(sp.KDTree, x)
    empty = tree_of(sp.KDTree, np.zeros((0, 3)))
    g = veltrix.random.Generator.from_seed(0)
    bad_w = lambda v: (lambda: t.density(q, weights=v))
    return [
        ("weights length", bad_w(np.ones(19)), ValueError, "weights holds 19 weights for 20 points"),
        ("weights negative", bad_w(np.r_[-1.0, np.ones(19)]), ValueError, "weights must be finite"),
        ("weights nan", bad_w(np.r_[np.nan, np.ones(19)]), ValueError, "weights must be finite"),
        ("weights inf", bad_w(np.r_[np.inf, np.ones(19)]), ValueError, "weights must be finite"),
        ("weights rank", bad_w(np.ones((20, 1))), ValueError, "weights must be one-dimensional"),
        ("weights type", bad_w("abc"), TypeError, "argument 'weights'"),
        ("zero weight normalize", lambda: t.density(q, weights=np.zeros(20), normalize=True), ValueError,
         "normalize=True needs a positive total weight"),
        ("empty normalize", lambda: empty.density(q, normalize=True), ValueError, "positive total weight"),
        ("unknown rule", lambda: t.density(q, "normal"), ValueError,
         "Unknown bandwidth rule 'normal'. Valid options: 'scott', 'silverman'"),
        ("unknown rule method", lambda: t.bandwidth("Normal"), ValueError, "Unknown bandwidth rule 'Normal'"),
        ("rule undefined", lambda: tree_of(sp.KDTree, np.ones((5, 2))).bandwidth("scott"), ValueError,
         "bandwidth rule 'scott' gives no positive bandwidth"),
        ("rule one point", lambda: tree_of(sp.KDTree, np.ones((1, 2))).density(None, "silverman"), ValueError,
         "bandwidth rule 'silverman'"),
        ("numeric bandwidth", lambda: t.density(q, 0.0), ValueError, "bandwidth must be positive"),
        ("sample negative", lambda: t.sample(-1, g), ValueError, "n must not be negative, got -1"),
        ("sample empty", lambda: empty.sample(3, g), ValueError, "cannot sample from an empty tree"),
        ("sample zero weight", lambda: t.sample(3, g, weights=np.zeros(20)), ValueError, "weights sum to 0"),
        ("sample kernel", lambda: tree_of(sp.KDTree, x, "manhattan").sample(3, g, 1.0, "triangular"), ValueError,
         "kernel 'triangular' can be sampled only under the euclidean metric"),
        ("sample generator", lambda: t.sample(3, 42), TypeError,
         "argument 'generator': expected a veltrix.random.Generator, not int"),
        ("sample weights", lambda: t.sample(3, g, weights=np.ones(4)), ValueError, "weights holds 4 weights"),
        ("kernel norm kernel", lambda: sp._kernel_norm("cosine", "euclidean", 2), ValueError,
         "Unknown kernel type 'cosine'"),
    ]


CASES = _cases()


@pytest.mark.parametrize("fn,exc,message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_errors(fn, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        fn()


def test_a_refused_sample_draws_nothing():
    x, _, _ = data(n=20)
    g, ref = veltrix.random.Generator.from_seed(5), veltrix.random.Generator.from_seed(5)
    with pytest.raises(ValueError):
        tree_of(sp.KDTree, x).sample(3, g, "scott", weights=np.r_[-1.0, np.ones(19)])
    assert g.uniform(0.0, 1.0, [2]).tolist() == ref.uniform(0.0, 1.0, [2]).tolist()


# ---------------------------------------------------------------------------------------------
# The guide's examples run as written.

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide" / "density.md"
BLOCKS = re.findall(r"```python\n(.*?)```", GUIDE.read_text(), re.S) if GUIDE.exists() else []


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_guide_examples_run(code):
    exec(compile(code, str(GUIDE), "exec"), {})
