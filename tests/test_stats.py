"""Statistics: reductions, median and quantiles, correlation, veltrix.stats and Array methods."""

import math
import random

import numpy as np
import pytest
import scipy.stats
from hypothesis import given, settings, strategies as st

import veltrix
from veltrix import Array
from helpers import assertion_text, bits, panics

S = veltrix.stats
NAN = float("nan")
INF = float("inf")


def vec(xs):
    xs = [float(x) for x in xs]
    return Array([len(xs)], xs)


def same(x, y):
    """Equal bit for bit, any NaN matching any NaN."""
    if isinstance(x, float) and isinstance(y, float) and math.isnan(x) and math.isnan(y):
        return True
    return bits(x) == bits(y)


def same_all(xs, ys):
    return len(xs) == len(ys) and all(same(x, y) for x, y in zip(xs, ys))


# ---------------------------------------------------------------------------------------------
# Slow, obvious references: the literal definitions, with Python's stable sort.

def ref_sum(xs):
    s = -0.0
    for x in xs:
        s += x
    return s


def ref_var(xs):
    if not xs:
        return NAN
    m = ref_sum(xs) / len(xs)
    acc = -0.0
    for x in xs:
        acc += (x - m) * (x - m)
    return acc / len(xs)


def ref_median(xs):
    if not xs:
        return NAN
    s = sorted(xs)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) * 0.5


def ref_quantile(xs, q, presorted=False):
    if not xs:
        return NAN
    s = xs if presorted else sorted(xs)
    pos = q * float(len(s) - 1)
    lo, hi = math.floor(pos), math.ceil(pos)
    if lo == hi:
        return s[lo]
    f = pos - lo
    return f * s[hi] + (1.0 - f) * s[lo]


def ref_pearson(xs, ys):
    n = len(xs)
    if n == 0:
        return 0.0
    ma, mb = ref_sum(xs) / n, ref_sum(ys) / n
    sxx = syy = sxy = 0.0
    for x, y in zip(xs, ys):
        dx, dy = x - ma, y - mb
        sxx += dx * dx
        syy += dy * dy
        sxy += dx * dy
    p, q = math.sqrt(sxx), math.sqrt(syy)
    if p == 0 or q == 0:
        return 0.0
    return sxy / (p * q)


def zeros_and_ties(rng, n):
    """Data where selection must pick the right zero: many zeros of both signs, ties."""
    pool = [0.0, -0.0, 0.0, -0.0, 1.0, -1.0, 2.5, -2.5]
    return [rng.choice(pool) if rng.random() < 0.7 else rng.uniform(-3, 3) for _ in range(n)]


# ---------------------------------------------------------------------------------------------
# Reductions

@pytest.mark.parametrize("fn, data, expected", [
    (S.sum, [], -0.0),
    (S.sum, [-0.0, -0.0], -0.0),
    (S.sum, [-0.0, 0.0], 0.0),
    (S.sum, [1e16, 1.0, -1e16], 0.0),
    (S.mean, [1, 2, 3, 4], 2.5),
    (S.mean, [], NAN),
    (S.var, [1, 2, 3, 4], 1.25),
    (S.std, [1, 2, 3, 4], math.sqrt(1.25)),
    (S.var, [5], 0.0),
    (S.var, [1, NAN], NAN),
    (S.sum, [INF, -INF], NAN),
])
def test_reduction_values(fn, data, expected):
    r = fn(vec(data))
    assert isinstance(r, float) and same(r, expected)


@pytest.mark.parametrize("fn", [S.mean, S.var, S.std])
def test_empty_matrix_reductions_are_nan(fn):
    assert math.isnan(fn(Array([2, 0], [])))


def test_rank_zero_array_is_one_element():
    a = Array([], [7.0])
    assert (S.sum(a), S.mean(a), S.var(a), S.median(a), S.quantile(a, 0.3)) == (7, 7, 0, 7, 7)


@pytest.mark.parametrize("fn, data, expected", [
    (S.all, [1, NAN, -3], True),
    (S.all, [1, -0.0], False),
    (S.all, [], True),
    (S.any, [0, -0.0], False),
    (S.any, [0, NAN], True),
    (S.any, [], False),
])
def test_all_any_values(fn, data, expected):
    assert fn(vec(data)) is expected


# all/any decide block-wise; the deciding element may sit anywhere.
@pytest.mark.parametrize("n", [1, 255, 256, 257, 1000])
@pytest.mark.parametrize("where", [0, "middle", "last"])
def test_all_any_single_deciding_element(n, where):
    i = {0: 0, "middle": n // 2, "last": n - 1}[where]
    ones, zeros = [1.0] * n, [0.0] * n
    ones[i], zeros[i] = -0.0, NAN
    assert S.all(vec(ones)) is False and S.all(vec([1.0] * n)) is True
    assert S.any(vec(zeros)) is True and S.any(vec([-0.0] * n)) is False


@given(st.lists(st.floats(width=64), max_size=200))
def test_sum_mean_var_follow_buffer_order(xs):
    a = vec(xs)
    assert same(S.sum(a), ref_sum(xs))
    n = len(xs)
    assert same(S.mean(a), ref_sum(xs) / n if n else NAN)
    assert same(S.var(a), ref_var(xs))
    assert same(S.std(a), math.sqrt(ref_var(xs)) if not math.isnan(ref_var(xs)) else NAN)


# ---------------------------------------------------------------------------------------------
# Median and quantiles

@pytest.mark.parametrize("a, expected", [
    (vec([3, 1, 2]), 2.0),
    (vec([4, 1, 3, 2]), 2.5),
    (Array([2, 2], [4, 1, 3, 2]), 2.5),
    (vec([]), NAN),
    (vec([1e308, 1e308]), INF),
    (vec([-0.0, 0.0]), 0.0),
    (vec([0.0, -0.0, -0.0]), -0.0),
    (vec([-0.0, -0.0, 1.0, 0.0]), 0.0),
    (vec([0.0, 1.0, -0.0]), -0.0),
])
def test_median_values(a, expected):
    assert same(S.median(a), expected)


@pytest.mark.parametrize("data, q, expected", [
    ([1, 2, 3, 4], 0.25, 1.75),
    ([1, 2, 3, 4], 0.0, 1.0),
    ([1, 2, 3, 4], 1.0, 4.0),
    ([1, 2, 3, 4], 1, 4.0),
    ([5], 0.37, 5.0),
    ([], 0.5, NAN),
    ([1e308, 1e308], 0.5, 1e308),
    ([-0.0, -0.0, 3.0], 0.25, -0.0),
    ([0.0, -0.0, 3.0], 0.0, 0.0),
    ([-0.0, 0.0, 3.0], 0.0, -0.0),
])
def test_quantile_values(data, q, expected):
    assert same(S.quantile(vec(data), q), expected)


@pytest.mark.parametrize("data, qs, expected", [
    ([1, 2, 3, 4], [0, 0.5, 1], [1, 2.5, 4]),
    ([], [0.1, 0.5, 0.9], [NAN] * 3),
    ([1, 2], [], []),
])
def test_quantiles_values(data, qs, expected):
    r = S.quantile(vec(data), vec(qs))
    assert isinstance(r, Array) and r.shape == [len(qs)]
    assert same_all(r.tolist(), [float(e) for e in expected])


def test_quantile_array_probabilities_any_shape():
    r = S.quantile(vec([1, 2, 3, 4]), Array([2, 2], [0, 0.25, 0.5, 1]))
    assert r.shape == [4] and r.tolist() == [1, 1.75, 2.5, 4]
    assert S.quantile(vec([1, 2, 3, 4]), Array([0], [])).shape == [0]


@pytest.mark.parametrize("call", [
    lambda: S.quantile(vec([1, 2]), 1.5),
    lambda: S.quantile(vec([1, 2]), -0.1),
    lambda: S.quantile(vec([1, 2]), NAN),
    lambda: S.quantile(vec([]), 2),
    lambda: S.quantile(vec([1, 2]), vec([0.5, -0.1])),
    lambda: S.quantile(vec([]), vec([0.5, NAN])),
    lambda: vec([1]).quantile(1.5),
])
def test_probability_outside_unit_interval(call):
    with panics("Quantile must be between 0 and 1"):
        call()


# A NaN element leaves the ascending order undefined: every order statistic is NaN.
@pytest.mark.parametrize("data", [[NAN], [1, NAN, 2], [NAN] + list(range(100)), list(range(100)) + [NAN]])
def test_nan_makes_order_statistics_nan(data):
    a = vec(data)
    assert math.isnan(S.median(a)) and math.isnan(S.quantile(a, 0.0))
    assert all(math.isnan(x) for x in S.quantile(a, vec([0, 0.5, 1])).tolist())


def test_order_statistics_leave_input_unchanged():
    xs = [float(x) for x in range(100, 0, -1)]
    a = vec(xs)
    S.median(a), S.quantile(a, 0.3), S.quantile(a, vec([0.1, 0.9]))
    assert a.tolist() == xs


finite_or_zero = st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5]),
                           st.floats(allow_nan=False, width=64))
probability = st.one_of(st.sampled_from([0.0, 0.5, 1.0]), st.floats(0.0, 1.0))


@settings(max_examples=300)
@given(st.lists(finite_or_zero, max_size=300), probability)
def test_selection_matches_stable_sort(xs, q):
    a = vec(xs)
    assert same(S.median(a), ref_median(xs))
    assert same(S.quantile(a, q), ref_quantile(xs, q))


@given(st.lists(finite_or_zero, min_size=1, max_size=300), st.lists(probability, max_size=40))
def test_quantiles_match_stable_sort(xs, qs):
    r = S.quantile(vec(xs), vec(qs)).tolist()
    assert same_all(r, [ref_quantile(xs, q) for q in qs])


@pytest.mark.parametrize("seed, n", [(1, 1001), (2, 1000), (3, 20001), (4, 20000), (5, 40001)])
def test_selection_picks_the_stable_zero(seed, n):
    rng = random.Random(seed)
    xs = zeros_and_ties(rng, n)
    a = vec(xs)
    assert same(S.median(a), ref_median(xs))
    qs = [rng.random() for _ in range(50)] + [0.0, 1.0, 0.5]
    # Probabilities that land inside the zero block.
    neg = sum(x < 0 for x in xs)
    zeros = sum(x == 0 for x in xs)
    qs += [(neg + k + 0.5) / (n - 1) for k in range(0, zeros, max(1, zeros // 20))]
    ordered = sorted(xs)
    for q in qs[:20]:
        assert same(S.quantile(a, q), ref_quantile(ordered, q, presorted=True))
    for probs in (qs, qs[:3], [i / 999 for i in range(1000)]):
        assert same_all(S.quantile(a, vec(probs)).tolist(),
                        [ref_quantile(ordered, q, presorted=True) for q in probs])


# Large inputs select from a bracket found by sampling every (n // 4096)-th element; layouts
# that mislead the sample (one value at every sampled place, runs, extremes) must still give
# the sorted order's values.
@pytest.mark.parametrize("layout", ["shuffled", "sampled_places_equal", "ascending", "descending",
                                    "constant", "infinities", "zeros_and_ties", "nan_last"])
@pytest.mark.parametrize("n", [65536, 100001])
def test_large_order_statistics_match_sort(layout, n):
    rng = random.Random(n)
    stride = n // 4096
    xs = {
        "shuffled": lambda: [rng.uniform(-1, 1) for _ in range(n)],
        "sampled_places_equal": lambda: [7.0 if i % stride == 0 else rng.uniform(-1, 1) for i in range(n)],
        "ascending": lambda: [float(i) for i in range(n)],
        "descending": lambda: [float(n - i) for i in range(n)],
        "constant": lambda: [2.5] * n,
        "infinities": lambda: [INF if i % 3 == 0 else -INF if i % 3 == 1 else 1.0 for i in range(n)],
        "zeros_and_ties": lambda: zeros_and_ties(rng, n),
        "nan_last": lambda: [rng.uniform(-1, 1) for _ in range(n - 1)] + [NAN],
    }[layout]()
    a = vec(xs)
    if layout == "nan_last":
        assert math.isnan(S.median(a)) and math.isnan(S.quantile(a, 0.25))
        return
    ordered = sorted(xs)
    assert same(S.median(a), ref_median(xs))
    for q in (0.0, 0.01, 0.25, 0.5, 0.999, 1.0):
        assert same(S.quantile(a, q), ref_quantile(ordered, q, presorted=True))


@pytest.mark.parametrize("n", [1, 2, 7, 100, 5001])
def test_quantile_close_to_numpy_linear(n):
    x = np.random.default_rng(n).normal(size=n)
    qs = np.linspace(0, 1, 37)
    ours = np.array(S.quantile(vec(x.tolist()), vec(qs.tolist())).tolist())
    np.testing.assert_allclose(ours, np.quantile(x, qs, method="linear"), rtol=1e-14, atol=1e-15)
    assert S.median(vec(x.tolist())) == pytest.approx(float(np.median(x)), rel=1e-15, abs=1e-15)


# ---------------------------------------------------------------------------------------------
# Correlation

@pytest.mark.parametrize("fn, a, b, expected", [
    (S.pearson, [1, 2, 3], [2, 4, 6], 0.9999999999999998),
    (S.pearson, [1, 2, 3], [3, 2, 1], -0.9999999999999998),
    (S.pearson, [1, 1, 1], [1, 2, 3], 0.0),
    (S.pearson, [], [], 0.0),
    (S.pearson, [5], [7], 0.0),
    (S.spearman, [1, 2, 3, 4], [1, 3, 2, 4], 0.7999999999999998),
    (S.spearman, [1, 2, 3], [1, 8, 27], 0.9999999999999998),
    (S.spearman, [], [], 0.0),
])
def test_correlation_values(fn, a, b, expected):
    assert same(fn(vec(a), vec(b)), expected)


# spearman is the Pearson value of the rank vectors; ranks are exact halves, so the
# value must equal pearson of SciPy's average ranks bit for bit.
@pytest.mark.parametrize("a, ranks", [
    ([10, 20, 20, 30], [1, 2.5, 2.5, 4]),
    ([3, 1, 2], [3, 1, 2]),
    ([7, 7, 7], [2, 2, 2]),
    ([0.0, -0.0, -1.0, 0.0], [3, 3, 1, 3]),
])
def test_ranks_through_spearman(a, ranks):
    assert list(scipy.stats.rankdata(a)) == ranks
    b = [1.0, 5.0, 2.0, 4.0][:len(a)]
    assert same(S.spearman(vec(a), vec(b)), S.pearson(vec(ranks), vec(scipy.stats.rankdata(b))))


@pytest.mark.parametrize("n, ties", [(10, False), (1000, False), (1000, True), (20000, True)])
def test_correlation_against_scipy(n, ties):
    rng = np.random.default_rng(n + ties)
    x = rng.normal(size=n)
    y = 0.3 * x + rng.normal(size=n)
    if ties:
        x, y = np.round(x, 1), np.round(y, 1)
    xs, ys = x.tolist(), y.tolist()
    assert S.pearson(vec(xs), vec(ys)) == pytest.approx(scipy.stats.pearsonr(x, y)[0], rel=1e-13)
    assert S.spearman(vec(xs), vec(ys)) == pytest.approx(scipy.stats.spearmanr(x, y)[0], rel=1e-13)
    assert same(S.pearson(vec(xs), vec(ys)), ref_pearson(xs, ys))
    ranks_x, ranks_y = scipy.stats.rankdata(x).tolist(), scipy.stats.rankdata(y).tolist()
    assert same(S.spearman(vec(xs), vec(ys)), ref_pearson(ranks_x, ranks_y))


moderate = st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0]), st.integers(-10**6, 10**6).map(lambda k: k / 64),
                     st.floats(-1e6, 1e6).filter(lambda x: x == 0 or abs(x) > 1e-6))


@given(st.lists(st.tuples(moderate, moderate), max_size=60))
def test_pearson_literal_on_ordinary_data(pairs):
    xs, ys = [x for x, _ in pairs], [y for _, y in pairs]
    assert same(S.pearson(vec(xs), vec(ys)), ref_pearson(xs, ys))


# Scaling by a power of two is exact, so data moved to the edges of the exponent range
# must give the value of the unscaled data, where the literal formula under- or overflows.
@pytest.mark.parametrize("ka, kb", [(-530, 0), (-530, -530), (-1000, -1000), (-600, 530),
                                    (530, 530), (1000, 1000), (1020, -1000), (0, 1020)])
def test_pearson_at_extreme_magnitudes(ka, kb):
    rng = random.Random(ka * 7 + kb)
    xs = [rng.uniform(0.5, 4) * rng.choice([-1, 1]) for _ in range(200)]
    ys = [x * 0.5 + rng.uniform(-3, 3) for x in xs]
    ys = [max(-4.0, min(4.0, y)) for y in ys]
    r = S.pearson(vec([math.ldexp(x, ka) for x in xs]), vec([math.ldexp(y, kb) for y in ys]))
    assert same(r, S.pearson(vec(xs), vec(ys)))
    assert same(S.spearman(vec([math.ldexp(x, ka) for x in xs]), vec(ys)), S.spearman(vec(xs), vec(ys)))


# Literal-formula faults at the range edges: p * q underflowing to a subnormal or 0 near
# 1e-160, sums of squares overflowing near 1e160, subnormal data, constant data whose sum
# overflows. The expected value is that of the data moved exactly into the normal range.
@pytest.mark.parametrize("a, b, k", [
    ([1e-160, 2e-160, 3e-160], [1e-160, 2e-160, 3e-160], 531),
    ([1e-160, 2e-160, 4e-160], [3e-160, 2e-160, 1e-160], 531),
    ([1e-170, 3e-170, 2e-170], [1e-170, 2e-170, 3e-170], 600),
    ([1e160, 2e160, 3e160], [2e160, 4e160, 7e160], -531),
    ([5e-324, 1e-323, 2.5e-323], [5e-324, 1.5e-323, 2e-323], 1074),
    ([1e-160] * 3, [1e-160, 2e-160, 3e-160], 531),
    ([1e308] * 3, [1e308, 1.5e308, 1.7e308], -2),
])
def test_pearson_mend_examples(a, b, k):
    r = S.pearson(vec(a), vec(b))
    assert same(r, S.pearson(vec([math.ldexp(x, k) for x in a]), vec([math.ldexp(y, k) for y in b])))
    assert -1 <= r <= 1


def test_pearson_keeps_non_finite_data_literal():
    assert math.isnan(S.pearson(vec([INF, 1, 2]), vec([1, 2, 3])))
    assert S.pearson(vec([INF, 1, 2]), vec([1, 1, 1])) == 0.0


@pytest.mark.parametrize("a, b", [
    ([1, NAN, 2], [1, 2, 3]),
    ([1, NAN, 2], [5, 5, 5]),
    ([NAN], [1]),
    ([1, 2, 3], [3, 2, NAN]),
])
def test_nan_propagates_through_ranks(a, b):
    # NaN ranks against a constant vector would still give 0.0; SciPy gives NaN there too.
    assert math.isnan(S.spearman(vec(a), vec(b)))
    assert math.isnan(S.spearman(vec(b), vec(a)))


@pytest.mark.parametrize("call, message, left, right", [
    (lambda: S.pearson(vec([1, 2, 3]), vec([1, 2, 3, 4])), "Arrays must have same length", 3, 4),
    (lambda: S.pearson(Array([2, 3], [0] * 6), vec(range(6))), "Array must be 1d", 2, 1),
    (lambda: S.pearson(vec(range(6)), Array([2, 3], [0] * 6)), "Array must be 1d", 2, 1),
    (lambda: S.pearson(Array([], [1.0]), Array([], [1.0])), "Array must be 1d", 0, 1),
    (lambda: S.spearman(Array([2, 3], [0] * 6), vec(range(4))), "Array must be 1d", 2, 1),
    (lambda: S.spearman(vec(range(4)), Array([1, 1, 4], [0] * 4)), "Array must be 1d", 3, 1),
    (lambda: S.spearman(vec(range(3)), vec(range(4))), "Arrays must have same length", 3, 4),
    (lambda: S.spearman(vec([NAN, 1]), vec(range(3))), "Arrays must have same length", 2, 3),
])
def test_correlation_assertions(call, message, left, right):
    with panics(assertion_text(message, left, right)):
        call()
    assert S.pearson(vec([1, 2, 3]), vec([3, 2, 1])) == -0.9999999999999998  # still usable


# ---------------------------------------------------------------------------------------------
# Bindings

FUNCTIONS = ["sum", "mean", "var", "std", "median", "quantile", "any", "all", "pearson", "spearman"]


def test_registration_and_signatures():
    assert S.__all__ == FUNCTIONS
    assert not hasattr(S, "std_dev")
    for name in FUNCTIONS:
        f = getattr(S, name)
        assert f.__module__ == "stats"
        params = {"quantile": "(a, q)", "pearson": "(a, b)", "spearman": "(a, b)"}.get(name, "(a)")
        assert f.__text_signature__ == params
    for name in ["sum", "mean", "var", "std", "median", "any", "all"]:
        assert getattr(Array, name).__text_signature__ == "($self)"
    assert Array.quantile.__text_signature__ == "($self, q)"


SAMPLES = [vec([]), vec([3, -0.0, 1, 0.0, NAN]), vec([-0.0, 0.0, -0.0]), Array([2, 3], [6, 5, 4, 3, 2, 1]),
           Array([], [2.0]), vec([1e308, 1e308, -1.0])]


@pytest.mark.parametrize("a", SAMPLES)
@pytest.mark.parametrize("name", ["sum", "mean", "var", "std", "median", "any", "all"])
def test_method_matches_function(name, a):
    assert same(getattr(a, name)(), getattr(S, name)(a))


@pytest.mark.parametrize("a", SAMPLES)
@pytest.mark.parametrize("q", [0.0, 0.3, 1, Array([2, 2], [0, 0.25, 0.5, 1]), Array([0], [])])
def test_quantile_method_matches_function(a, q):
    results = [a.quantile(q), a.quantile(q=q), S.quantile(a, q), S.quantile(q=q, a=a)]
    if isinstance(q, Array):
        assert all(r.shape == [len(q)] for r in results)
        results = [r.tolist() for r in results]
    else:
        assert all(type(r) is float for r in results)
        results = [[r] for r in results]
    assert all(same_all(r, results[0]) for r in results)


def test_argument_errors():
    with pytest.raises(TypeError) as e:
        S.pearson([1, 2], vec([1, 2]))
    assert str(e.value) == "argument 'a': 'list' object cannot be cast as 'Array'"
    with pytest.raises(TypeError) as e:
        S.spearman(vec([1, 2]), (1, 2))
    assert str(e.value) == "argument 'b': 'tuple' object cannot be cast as 'Array'"
    with pytest.raises(TypeError) as e:
        S.quantile(vec([1, 2]), [0.5])
    assert str(e.value) == (
        "argument 'q': failed to extract enum ArrayOrScalar ('Array | Scalar')\n"
        "- variant Array (Array): TypeError: failed to extract field ArrayOrScalar::Array.0, "
        "caused by TypeError: 'list' object cannot be cast as 'Array'\n"
        "- variant Scalar (Scalar): TypeError: failed to extract field ArrayOrScalar::Scalar.0, "
        "caused by TypeError: must be real number, not list")
    with pytest.raises(TypeError) as e:
        vec([1]).sum(1)
    with pytest.raises(TypeError) as e:
        S.mean()
    assert str(e.value) == "mean() missing 1 required positional argument: 'a'"
