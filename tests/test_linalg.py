"""Products, diagonals, factorisations and the eigen-iteration of veltrix.linalg.

The references below add products one at a time in the same order as the library (NumPy's
element-wise multiply and add are single IEEE operations), vectorised only across
independent elements, so results are compared bit for bit.
"""

import math

import numpy as np
import pytest

import veltrix
from veltrix import Array
from helpers import assertion_text, panics

la = veltrix.linalg


def arr(x):
    x = np.asarray(x, dtype=float)
    return Array(list(x.shape), x.ravel().tolist())


def npy(a):
    return np.array(a.tolist(), dtype=float).reshape(a.shape)


def assert_bits(got, want):
    got, want = np.asarray(got, dtype=float), np.asarray(want, dtype=float)
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))


def signs(x):
    return [math.copysign(1.0, v) for v in np.asarray(x).ravel()]


# ---------------------------------------------------------------------------------------------
# Reference orders


def ref_matmul(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    a2 = a if a.ndim == 2 else a[None, :]
    b2 = b if b.ndim == 2 else b[:, None]
    c = np.full((a2.shape[0], b2.shape[1]), -0.0)
    with np.errstate(invalid="ignore"):
        for t in range(a2.shape[1]):
            c = c + a2[:, t:t + 1] * b2[t:t + 1, :]
    if a.ndim == 1 and b.ndim == 1:
        return c.reshape(1)
    if a.ndim == 1:
        return c[0]
    if b.ndim == 1:
        return c[:, 0]
    return c


def ref_qr(a):
    r = np.array(a, dtype=float)
    m, n = r.shape
    q = np.eye(m)
    for k in range(min(m, n)):
        x = r[k:, k].copy()
        s = 0.0
        for xi in x:
            s = s + xi * xi
        nx = math.sqrt(s)
        if nx < 1e-14:
            continue
        v = x.copy()
        v[0] = x[0] + (1.0 if x[0] >= 0.0 else -1.0) * nx
        s = 0.0
        for vi in v:
            s = s + vi * vi
        nv = math.sqrt(s)
        if nv < 1e-14:
            continue
        v = v / nv
        w = np.zeros(n - k)
        for i in range(m - k):
            w = w + v[i] * r[k + i, k:]
        r[k:, k:] = r[k:, k:] - (v + v)[:, None] * w[None, :]
        u = np.zeros(m)
        for i in range(m - k):
            u = u + v[i] * q[:, k + i]
        q[:, k:] = q[:, k:] - (u + u)[:, None] * v[None, :]
    for i in range(m):
        r[i, :min(i, n)] = 0.0
    return q, r


def ref_cholesky(a):
    a = np.asarray(a, float)
    n = a.shape[0]
    low = np.zeros((n, n))
    for i in range(n):
        for j in range(i + 1):
            s = 0.0
            for t in range(j):
                s = s + low[i, t] * low[j, t]
            if i == j:
                low[i, i] = math.sqrt(a[i, i] - s)
            else:
                low[i, j] = (a[i, j] - s) / low[j, j]
    return low


def ref_eig(a, max_iter, tol):
    cur = np.array(a, dtype=float)
    n = cur.shape[0]
    vec = np.eye(n)
    off_mask = ~np.eye(n, dtype=bool)
    for _ in range(max_iter):
        q, r = ref_qr(cur)
        cur = ref_matmul(r, q)
        vec = ref_matmul(vec, q)
        s = 0.0
        for x in cur[off_mask]:
            s = s + x * x
        if math.sqrt(s) < tol:
            break
    d = np.diag(cur).copy()
    order = sorted(range(n), key=lambda i: -abs(d[i]))
    return d[order], vec[:, order]


RNG = np.random.default_rng(20240607)


def rand(*shape, zeros=True):
    x = RNG.uniform(-2.0, 2.0, size=shape)
    if zeros and x.size:
        flat = x.reshape(-1)
        idx = RNG.integers(0, flat.size, size=max(1, flat.size // 7))
        flat[idx] = np.where(RNG.random(idx.size) < 0.5, 0.0, -0.0)
    return x


def symmetric_with_spectrum(values):
    n = len(values)
    q, _ = np.linalg.qr(RNG.normal(size=(n, n)))
    return (q * np.asarray(values, float)) @ q.T


# ---------------------------------------------------------------------------------------------
# matmul


def test_vector_dot_is_a_one_element_vector():
    r = la.matmul(arr([1, 2, 3]), arr([4, 5, 6]))
    assert r.shape == [1] and r.tolist() == [32.0]
    assert la.dot(arr([1, 2, 3]), arr([4, 5, 6])).shape == [1]


@pytest.mark.parametrize("a_shape, b_shape, out_shape", [
    ((2, 3), (3,), [2]), ((2,), (2, 3), [3]), ((2, 3), (3, 4), [2, 4]), ((3,), (3,), [1]),
])
def test_result_shapes(a_shape, b_shape, out_shape):
    assert la.matmul(arr(np.ones(a_shape)), arr(np.ones(b_shape))).shape == out_shape


@pytest.mark.parametrize("a, b, shape", [
    (np.zeros((3, 0)), np.zeros((0, 4)), [3, 4]),
    (np.zeros(0), np.zeros(0), [1]),
    (np.zeros((2, 0)), np.zeros(0), [2]),
    (np.zeros(0), np.zeros((0, 5)), [5]),
])
def test_empty_inner_dimension_gives_negative_zero(a, b, shape):
    r = la.matmul(arr(a), arr(b))
    assert r.shape == shape
    assert signs(npy(r)) == [-1.0] * int(np.prod(shape))


@pytest.mark.parametrize("a, b, message, left, right", [
    (np.ones(3), np.ones(2), "Vectors must have same length", 3, 2),
    (np.ones(3), np.ones((2, 4)), "Inner dimensions must match", 3, 2),
    (np.ones((2, 3)), np.ones(2), "Inner dimensions must match", 3, 2),
    (np.ones((2, 3)), np.ones((2, 3)), "Inner dimensions must match: 3 vs 2", 3, 2),
])
def test_mismatched_lengths(a, b, message, left, right):
    with panics(assertion_text(message, left, right)):
        la.matmul(arr(a), arr(b))


@pytest.mark.parametrize("a, b", [
    (np.ones((2, 2, 2)), np.ones(2)), (np.ones(2), np.ones((2, 2, 2))), (np.ones(()), np.ones(1)),
])
def test_matmul_rank_errors(a, b):
    with panics("matmul requires 1D or 2D arrays"):
        la.matmul(arr(a), arr(b))


# Shapes around the register tile (6×8), the row and inner cache blocks (96, 256), the
# largest left factor read in place (128·128 elements, inner side up to 256, right factor
# up to 256·128 elements) and the column block of the vector product (1024).
MATMUL_SHAPES = [
    (0, 3, 4), (3, 0, 4), (3, 4, 0), (1, 1, 1), (1, 7, 1), (5, 3, 7), (6, 8, 8), (7, 9, 9),
    (13, 17, 25), (97, 5, 17), (12, 257, 9), (33, 300, 41), (2, 3, 1100),
    (128, 128, 9), (129, 128, 9), (64, 256, 10), (65, 256, 10), (3, 256, 17), (4, 128, 256),
    (4, 128, 257),
]


@pytest.mark.parametrize("m, n, q", MATMUL_SHAPES)
def test_matrix_product_matches_plain_loop(m, n, q):
    a, b = rand(m, n), rand(n, q)
    assert_bits(npy(la.matmul(arr(a), arr(b))), ref_matmul(a, b))


@pytest.mark.parametrize("m, n", [(0, 4), (4, 0), (1, 1), (9, 7), (17, 300), (1030, 3), (3, 1100)])
def test_vector_products_match_plain_loop(m, n):
    a, x, y = rand(m, n), rand(n), rand(m)
    assert_bits(npy(la.matmul(arr(a), arr(x))), ref_matmul(a, x))
    assert_bits(npy(la.matmul(arr(y), arr(a))), ref_matmul(y, a))
    assert_bits(npy(la.matmul(arr(x), arr(x))), ref_matmul(x, x))


def test_products_propagate_nan_and_infinity():
    a = np.array([[np.inf, 1.0], [0.0, np.nan]])
    b = np.array([[0.0, 1.0], [1.0, 1.0]])
    assert_bits(npy(la.matmul(arr(a), arr(b))), ref_matmul(a, b))


def test_entry_points_agree():
    a, b = arr(rand(4, 5)), arr(rand(5, 3))
    want = npy(la.matmul(a, b))
    for got in (la.dot(a, b), a.matmul(b), a.dot(b), a @ b, la.matmul(a=a, b=b), a.dot(other=b)):
        assert_bits(npy(got), want)


@pytest.mark.parametrize("other", [[1.0, 2.0], 3.0, None])
def test_matmul_operator_with_other_operands(other):
    with pytest.raises(TypeError):
        arr([1.0, 2.0]) @ other
    with pytest.raises(TypeError):
        other @ arr([1.0, 2.0])


def test_dot_of_lists_names_the_argument():
    with pytest.raises(TypeError) as e:
        la.dot([1.0, 2.0], [3.0, 4.0])
    assert str(e.value) == "argument 'a': 'list' object cannot be cast as 'Array'"


# ---------------------------------------------------------------------------------------------
# outer, transpose, diagonal, diag


def test_outer():
    assert la.outer([1, 2], [3, 4, 5]).tolist() == [[3, 4, 5], [6, 8, 10]]
    assert la.outer([1, 2], [3]).tolist() == [[3.0], [6.0]]
    assert Array.outer(arr([1, 2]), [3]).shape == [2, 1]
    assert la.outer([], [1, 2]).shape == [0, 2]


@pytest.mark.parametrize("a, b, message, left", [
    (np.ones((2, 2)), np.ones(2), "First input must be 1D", 2),
    (np.ones(2), np.ones((1, 1, 1)), "Second input must be 1D", 3),
    (np.ones(()), np.ones(2), "First input must be 1D", 0),
])
def test_outer_rank_errors(a, b, message, left):
    with panics(assertion_text(message, left, 1)):
        la.outer(arr(a), arr(b))


@pytest.mark.parametrize("shape", [(2, 3), (0, 3), (3, 0), (1, 1), (37, 70)])
def test_transpose(shape):
    a = rand(*shape)
    for t in (la.transpose(arr(a)), arr(a).t(), arr(a).transpose()):
        assert t.shape == [shape[1], shape[0]]
        assert_bits(npy(t), a.T)


def test_transpose_rank_error():
    with panics(assertion_text("transpose requires 2D array", 1, 2)):
        arr([1.0, 2.0]).t()


@pytest.mark.parametrize("k, want", [
    (0, [0, 4, 8]), (None, [0, 4, 8]), (1, [1, 5]), (-1, [3, 7]), (2, [2]), (3, []), (-3, []),
    (-2**63, []), (2**63 - 1, []),
])
def test_diagonal(k, want):
    m = arr(np.arange(9.0).reshape(3, 3))
    for d in (la.diagonal(m, k), m.diagonal(k), la.diagonal(a=m, k=k), m.diagonal(k=k)):
        assert d.shape == [len(want)] and d.tolist() == want


def test_diagonal_of_wide_matrix():
    assert arr(np.arange(8.0).reshape(2, 4)).diagonal(1).tolist() == [1.0, 6.0]
    assert arr(np.arange(8.0).reshape(2, 4)).diagonal().tolist() == [0.0, 5.0]


@pytest.mark.parametrize("shape", [(3,), (2, 2, 2), ()])
def test_diagonal_needs_a_matrix(shape):
    a = arr(np.ones(shape))
    for call in (lambda: la.diagonal(a), lambda: a.diagonal()):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "diagonal requires a 2D array"


@pytest.mark.parametrize("v, k, want", [
    ([1, 2], 0, [[1, 0], [0, 2]]),
    ([1, 2], 1, [[0, 1, 0], [0, 0, 2], [0, 0, 0]]),
    ([1, 2], None, [[1, 0], [0, 2]]),
    ([5.0], -1, [[0, 0], [5, 0]]),
    ([], 2, [[0, 0], [0, 0]]),
    ([], 0, []),
])
def test_diag(v, k, want):
    for d in (veltrix.diag(v, k), Array.diag(v, k), veltrix.diag(v=arr(v), k=k)):
        assert d.tolist() == want
    assert veltrix.diag(v, k).shape == [len(v) + abs(k or 0)] * 2


def test_diag_keeps_signed_zero_and_nan():
    d = npy(veltrix.diag([-0.0, math.nan]))
    assert signs(np.diag(d)) == [-1.0, 1.0] and math.isnan(d[1, 1])


def test_diag_rank_and_size_errors():
    with panics(assertion_text("Input must be 1D", 2, 1)):
        veltrix.diag(arr(np.ones((2, 2))))
    with panics("capacity overflow"):
        veltrix.diag([1.0], 2**62)
    with pytest.raises(OverflowError):
        veltrix.diag([1.0], 2**63)


# ---------------------------------------------------------------------------------------------
# cholesky


def test_cholesky_examples():
    want = [[2.0, 0.0], [1.0, math.sqrt(2.0)]]
    assert la.cholesky(arr([[4, 2], [2, 3]])).tolist() == want
    assert la.cholesky(arr([[4, 99], [2, 3]])).tolist() == want  # upper triangle unread
    assert la.cholesky(arr(np.zeros((0, 0)))).shape == [0, 0]


@pytest.mark.parametrize("a, message", [
    ([[1, 2], [2, 1]], "Matrix is not positive definite"),
    ([[0]], "Matrix is not positive definite"),
    ([[4, 0, 0], [0, -1, 0], [0, 0, math.nan]], "Matrix is not positive definite"),
    (np.ones((2, 3)), "Cholesky decomposition requires a square matrix"),
    (np.ones(3), "Cholesky decomposition requires a 2D matrix"),
])
def test_cholesky_errors(a, message):
    with pytest.raises(ValueError) as e:
        la.cholesky(arr(a))
    assert str(e.value) == message


def test_cholesky_nan_remainder_passes():
    low = npy(la.cholesky(arr([[4, 0], [0, math.nan]])))
    assert low[0, 0] == 2.0 and math.isnan(low[1, 1])


@pytest.mark.parametrize("n", [1, 2, 5, 17, 40])
def test_cholesky_matches_plain_loop_and_reconstructs(n):
    b = rand(n, n, zeros=False)
    a = b @ b.T + n * np.eye(n)
    low = npy(la.cholesky(arr(a)))
    assert_bits(low, ref_cholesky(a))
    assert np.allclose(low @ low.T, a, rtol=1e-12, atol=1e-12)
    assert np.all(np.triu(low, 1) == 0.0)


# ---------------------------------------------------------------------------------------------
# qr


@pytest.mark.parametrize("a, q, r", [
    ([[5]], [[-1]], [[-5]]),
    ([[0]], [[1]], [[0]]),
    ([[3], [4]], None, [[-5], [0]]),
    ([[-3], [4]], None, [[5], [0]]),
])
def test_qr_examples(a, q, r):
    fq, fr = la.qr(arr(a))
    if q is not None:
        assert fq.tolist() == q
    assert np.allclose(npy(fr), r, atol=1e-15)
    assert npy(fr)[1:, 0].tolist() == [0.0] * (len(a) - 1)


@pytest.mark.parametrize("m, n", [(3, 2), (2, 3), (4, 0), (0, 3), (0, 0)])
def test_qr_shapes(m, n):
    q, r = la.qr(arr(rand(m, n)))
    assert q.shape == [m, m] and r.shape == [m, n]
    if n == 0:
        assert q.tolist() == np.eye(m).tolist()
    below = npy(r)[np.tril_indices(m, -1, n)]
    assert signs(below) == [1.0] * below.size and np.all(below == 0.0)


def test_qr_needs_a_matrix():
    with pytest.raises(ValueError) as e:
        la.qr(arr([1.0, 2.0]))
    assert str(e.value) == "QR decomposition requires a 2D matrix"


# Around the vector padding (8), the fused sweep widths (16) and the panels and row blocks
# of Q (32), tall, wide and square.
QR_SHAPES = [
    (1, 1), (2, 2), (5, 3), (3, 5), (7, 7), (8, 8), (9, 9), (16, 16), (17, 17), (31, 31),
    (32, 32), (33, 20), (20, 33), (40, 40), (70, 9), (65, 65),
]


@pytest.mark.parametrize("m, n", QR_SHAPES)
def test_qr_matches_plain_loop(m, n):
    a = rand(m, n)
    q, r = la.qr(arr(a))
    rq, rr = ref_qr(a)
    assert_bits(npy(q), rq)
    assert_bits(npy(r), rr)


@pytest.mark.parametrize("m, n", [(6, 6), (30, 12), (12, 30), (64, 64)])
def test_qr_reconstructs_with_orthogonal_q(m, n):
    a = rand(m, n, zeros=False)
    q, r = (npy(x) for x in la.qr(arr(a)))
    assert np.allclose(q @ r, a, atol=1e-12)
    assert np.allclose(q.T @ q, np.eye(m), atol=1e-12)
    assert r[0, 0] * a[0, 0] < 0  # the reflection sends the column to the opposite sign


def test_qr_skips_negligible_columns():
    # The first column is zero: no reflection for it, the second column still gets one.
    a = np.array([[0.0, 1.0], [0.0, 1.0], [0.0, 0.0]])
    q, r = (npy(x) for x in la.qr(arr(a)))
    rq, rr = ref_qr(a)
    assert_bits(q, rq)
    assert_bits(r, rr)
    assert r.tolist() == [[0.0, 1.0], [0.0, -1.0], [0.0, 0.0]]


# ---------------------------------------------------------------------------------------------
# eig


def test_eig_diagonal_example():
    values, vectors = la.eig(arr([[2, 0], [0, 3]]))
    assert values.tolist() == [3.0, 2.0]
    assert vectors.tolist() == [[0.0, -1.0], [-1.0, 0.0]]


@pytest.mark.parametrize("a, want", [
    ([[1, 0], [0, -5]], [-5.0, 1.0]),
    ([[2, 0], [0, -2]], [2.0, -2.0]),
])
def test_eig_orders_by_absolute_value(a, want):
    assert la.eigvals(arr(a)).tolist() == want


def test_eig_without_iterations_sorts_the_diagonal():
    a = np.array([[1.0, 9, 9], [9, -4, 9], [9, 9, 2]])
    values, vectors = la.eig_with_params(arr(a), 0)
    assert values.tolist() == [-4.0, 2.0, 1.0]
    assert vectors.tolist() == np.eye(3)[:, [1, 2, 0]].tolist()


@pytest.mark.parametrize("max_iter", [0, 1000])
def test_eig_one_by_one(max_iter):
    values, vectors = la.eig_with_params(arr([[7]]), max_iter)
    assert values.tolist() == [7.0] and vectors.tolist() == [[1.0]]


def test_eig_empty():
    values, vectors = la.eig(arr(np.zeros((0, 0))))
    assert values.shape == [0] and vectors.shape == [0, 0]


@pytest.mark.parametrize("a, message", [
    (np.ones((2, 3)), "Eigendecomposition requires a square matrix"),
    (np.ones(2), "Eigendecomposition requires a 2D matrix"),
])
@pytest.mark.parametrize("fn", [la.eig, la.eigvals, la.eig_with_params])
def test_eig_errors(fn, a, message):
    with pytest.raises(ValueError) as e:
        fn(arr(a))
    assert str(e.value) == message


def test_eig_symmetric_two_by_two():
    values, vectors = la.eig(arr([[2, 1], [1, 2]]))
    assert np.allclose(npy(values), [3.0, 1.0], rtol=0, atol=1e-14)
    v = npy(vectors)
    assert np.allclose(np.abs(v[:, 0]), [math.sqrt(0.5)] * 2, atol=1e-9)
    assert np.allclose(np.abs(v[:, 1]), [math.sqrt(0.5)] * 2, atol=1e-9)
    assert v[0, 1] * v[1, 1] < 0  # along [-1, 1]


@pytest.mark.parametrize("n, max_iter", [(2, 5), (3, 1), (5, 7), (17, 3), (20, 40)])
def test_eig_matches_plain_iteration(n, max_iter):
    b = rand(n, n)
    a = b + b.T
    values, vectors = la.eig_with_params(arr(a), max_iter, 1e-10)
    rv, rvec = ref_eig(a, max_iter, 1e-10)
    assert_bits(npy(values), rv)
    assert_bits(npy(vectors), rvec)


# The off-diagonal norm decides when to stop; tolerances around where this input crosses
# them, and the ones that stop at once or never.
@pytest.mark.parametrize("tol", [0.5, 1e-3, 1e-8, 0.0, -1.0, math.inf, math.nan])
def test_eig_stops_where_the_plain_iteration_stops(tol):
    a = symmetric_with_spectrum([9.0, 4.0, -2.5, 1.25, 0.6, 0.3])
    values, vectors = la.eig_with_params(arr(a), 80, tol)
    rv, rvec = ref_eig(a, 80, tol)
    assert_bits(npy(values), rv)
    assert_bits(npy(vectors), rvec)


@pytest.mark.parametrize("spectrum", [[10.0, -5.0, 2.0, 1.0, 0.5], [9.0, 4.0, -2.5, 1.25, 0.6, 0.3, 0.15]])
def test_symmetric_eigenpairs(spectrum):
    a = symmetric_with_spectrum(spectrum)
    values, vectors = (npy(x) for x in la.eig(arr(a)))
    want = np.linalg.eigvalsh(a)
    assert np.allclose(np.sort(values), np.sort(want), rtol=0, atol=1e-9)
    assert np.all(np.diff(np.abs(values)) <= 0)
    assert np.allclose(vectors.T @ vectors, np.eye(len(spectrum)), atol=1e-12)
    assert np.allclose(a @ vectors, vectors * values, atol=1e-8)


def test_eigvals_equals_eig_values():
    a = arr(rand(6, 6))
    assert_bits(npy(la.eigvals(a)), npy(la.eig(a)[0]))
    assert_bits(npy(la.eigvals(a)), npy(la.eig_with_params(a, max_iter=1000, tol=1e-10)[0]))


@pytest.mark.parametrize("diagonal, order", [
    ([math.nan, 1.0, -3.0, math.nan, 2.0], [2, 4, 1, 0, 3]),
    ([math.inf, math.nan, -math.inf, 0.0], [0, 2, 3, 1]),
    ([math.nan, math.nan], [0, 1]),
    ([-0.0, 0.0, math.nan, -1.0], [3, 0, 1, 2]),
])
def test_nan_diagonal_sorts_last_in_diagonal_order(diagonal, order):
    n = len(diagonal)
    values, vectors = la.eig_with_params(arr(np.diag(diagonal)), 0)
    assert_bits(npy(values), np.array(diagonal)[order])
    assert vectors.tolist() == np.eye(n)[:, order].tolist()


def test_nan_input_runs_all_iterations_and_sorts_nan_last():
    a = np.array([[1.0, 2.0], [2.0, math.nan]])
    values, _ = la.eig_with_params(arr(a), 3)
    assert all(math.isnan(v) for v in values.tolist())


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"max_iter": -1}, OverflowError, None),
    ({"max_iter": None}, TypeError, None),
    ({"tol": None}, TypeError, None),
    ({"max_iter": 2.5}, TypeError, None),
])
def test_eig_parameter_conversion(kwargs, exc, message):
    with pytest.raises(exc) as e:
        la.eig_with_params(arr(np.eye(2)), **kwargs)
    name = next(iter(kwargs))
    if exc is TypeError:
        assert str(e.value).startswith(f"argument '{name}': ")


# ---------------------------------------------------------------------------------------------
# Module surface


def test_linalg_registration_order():
    assert la.__all__ == ["matmul", "dot", "transpose", "cholesky", "qr", "eig", "eig_with_params",
                          "eigvals", "diagonal", "outer"]


@pytest.mark.parametrize("obj, sig", [
    (la.matmul, "(a, b)"), (la.dot, "(a, b)"), (la.transpose, "(a)"), (la.cholesky, "(a)"),
    (la.qr, "(a)"), (la.eig, "(a)"), (la.eig_with_params, "(a, max_iter=1000, tol=1e-10)"),
    (la.eigvals, "(a)"), (la.diagonal, "(a, k=None)"), (la.outer, "(a, b)"),
    (veltrix.diag, "(v, k=None)"), (Array.diag, "(v, k=None)"), (Array.outer, "(a, b)"),
    (Array.diagonal, "($self, k=None)"), (Array.matmul, "($self, other)"),
    (Array.dot, "($self, other)"), (Array.transpose, "($self)"), (Array.t, "($self)"),
])
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig


def test_arguments_unchanged_after_failure():
    a = arr([[1.0, 2.0], [2.0, 1.0]])
    with pytest.raises(ValueError):
        la.cholesky(a)
    assert a.tolist() == [[1.0, 2.0], [2.0, 1.0]]
    with panics():
        la.matmul(a, arr([1.0, 2.0, 3.0]))
    assert la.matmul(a, arr([1.0, 1.0])).tolist() == [3.0, 3.0]
