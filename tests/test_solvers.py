"""The reproducible solvers of veltrix.linalg: eigh, eigvalsh, solve, lstsq, inv, det.

Results are held against NumPy within bounds of a few units of n·ε·‖A‖ (backward-stable
algorithms in a different order), and against the exact properties the library promises:
ascending values, the sign rule, the lower triangle alone, exact power-of-two scaling.
"""

import numpy as np
import pytest

import veltrix
from veltrix import Array

la = veltrix.linalg
EPS = np.finfo(float).eps


def arr(x):
    x = np.asarray(x, dtype=float)
    return Array(list(x.shape), x.ravel().tolist())


def npy(a):
    return np.array(a.tolist(), dtype=float).reshape(a.shape)


def bits(x):
    return np.asarray(x, dtype=float).view(np.uint64)


def random_orthogonal(n, rng):
    q, r = np.linalg.qr(rng.standard_normal((n, n)))
    return q * np.sign(np.diag(r))


def with_spectrum(values, rng):
    q = random_orthogonal(len(values), rng)
    a = (q * values) @ q.T
    return (a + a.T) / 2


def symmetric_cases():
    rng = np.random.default_rng(19)
    g = rng.standard_normal((60, 60))
    graded = np.diag(10.0 ** -np.arange(12.0)) + np.diag(10.0 ** -np.arange(1.0, 12.0) / 3, 1)
    return {
        "empty": np.zeros((0, 0)),
        "one": np.array([[-4.5]]),
        "two": np.array([[2.0, 1.0], [1.0, 2.0]]),
        "random": g + g.T,
        "diagonal": np.diag([3.0, -1.0, 2.0, 2.0, 0.0, -7.5]),
        "identity": np.eye(9),
        "zero": np.zeros((5, 5)),
        "repeated": with_spectrum([1.0] * 6 + [2.0] * 6 + [-3.0] * 4, rng),
        "clustered": with_spectrum(1.0 + 1e-12 * np.arange(20), rng),
        "graded": graded + np.triu(graded, 1).T,
        "ill_conditioned": with_spectrum(np.logspace(-15, 0, 25), rng),
        "wilkinson": np.diag(np.abs(np.arange(-10.0, 11.0))) + np.eye(21, k=1) + np.eye(21, k=-1),
        "tridiagonal_split": np.diag([1.0, 2.0, 3.0, 4.0]) + np.diag([1.0, 0.0, 1.0], 1) + np.diag([1.0, 0.0, 1.0], -1),
        # Many batches of sweeps, and column counts off every kernel width.
        "random_231": (lambda h: h + h.T)(rng.standard_normal((231, 231))),
        "clustered_150": with_spectrum(np.repeat(np.linspace(-1.0, 1.0, 15), 10) + 1e-13 * np.arange(150), rng),
        # Large enough for divide and conquer: several levels of merges, and deflation.
        "random_450": (lambda h: h + h.T)(rng.standard_normal((450, 450))),
        "repeated_400": with_spectrum(np.repeat([-2.0, 0.5, 3.0, 7.0], 100) + 1e-14 * np.arange(400), rng),
    }


SYMMETRIC = symmetric_cases()


@pytest.mark.parametrize("name", list(SYMMETRIC))
def test_eigh_decomposes(name):
    a = SYMMETRIC[name]
    n = a.shape[0]
    w, v = la.eigh(arr(a))
    w, v = npy(w), npy(v)
    assert w.shape == (n,) and v.shape == (n, n)
    scale = max(np.linalg.norm(a, 2) if n else 0.0, np.finfo(float).tiny)
    bound = 8 * max(n, 1) * EPS
    assert np.all(np.diff(w) >= 0)
    assert np.allclose(w, np.linalg.eigvalsh(a), rtol=0, atol=bound * scale)
    assert np.abs(a @ v - v * w).max(initial=0) <= bound * scale
    assert np.abs(v.T @ v - np.eye(n)).max(initial=0) <= bound
    # Sign rule: the first entry of largest magnitude of each column is positive.
    for j in range(n):
        assert v[np.argmax(np.abs(v[:, j])), j] > 0
    assert np.array_equal(bits(npy(la.eigvalsh(arr(a)))), bits(w))


def test_eigh_reads_only_the_lower_triangle():
    a = SYMMETRIC["random"][:12, :12]
    junk = a.copy()
    junk[np.triu_indices(12, 1)] = np.nan
    for f in (lambda m: la.eigh(m)[0], lambda m: la.eigh(m)[1], la.eigvalsh):
        assert np.array_equal(bits(npy(f(arr(junk)))), bits(npy(f(arr(a)))))


@pytest.mark.parametrize("power", [-1060, -600, -1, 3, 700, 1000])
def test_eigh_scales_exactly(power):
    # Powers of two change no rounding, so values scale exactly and vectors stay the same,
    # from tiny to huge matrices alike.
    a = SYMMETRIC["random"][:15, :15]
    w, v = la.eigh(arr(a))
    ws, vs = la.eigh(arr(np.ldexp(a, power)))
    want = np.ldexp(npy(w), power)
    if power > -1000:
        assert np.array_equal(bits(npy(ws)), bits(want))
        assert np.array_equal(bits(npy(vs)), bits(npy(v)))
    else:
        # Subnormal inputs lose bits on the way in; the decomposition stays sound.
        assert np.allclose(npy(ws), want, rtol=1e-3, atol=0)
        assert np.abs(npy(vs).T @ npy(vs) - np.eye(15)).max() < 1e-12


def system(n, rhs, rng):
    a = rng.standard_normal((n, n)) + (np.eye(n) * n if n else 0)
    b = rng.standard_normal((n,) if rhs is None else (n, rhs))
    return a, b


@pytest.mark.parametrize("n", [0, 1, 3, 40, 130])
@pytest.mark.parametrize("rhs", [None, 1, 7])
def test_solve_residual(n, rhs):
    a, b = system(n, rhs, np.random.default_rng(n * 10 + (rhs or 0)))
    x = npy(la.solve(arr(a), arr(b)))
    assert x.shape == b.shape
    if n:
        assert np.abs(a @ x - b).max() <= 16 * n * EPS * np.abs(a).sum(1).max() * np.abs(x).max()
        assert np.allclose(x, np.linalg.solve(a, b), rtol=1e-10, atol=1e-12)


def test_solve_pivots_on_the_lowest_row_of_equal_magnitude():
    # Column 0 ties between rows 0 and 1 (|−2| = |2|); the lowest row, row 0, is the pivot,
    # which keeps the exact solution exact here.
    a = np.array([[-2.0, 1.0, 0.0], [2.0, 3.0, 1.0], [1.0, 0.0, 4.0]])
    x = np.array([1.0, -2.0, 0.5])
    assert np.array_equal(npy(la.solve(arr(a), arr(a @ x))), x)


@pytest.mark.parametrize("n", [0, 1, 2, 17, 90])
def test_inv(n):
    a, _ = system(n, None, np.random.default_rng(n))
    x = npy(la.inv(arr(a)))
    assert x.shape == (n, n)
    assert np.abs(a @ x - np.eye(n)).max(initial=0) <= 1e-12
    assert np.array_equal(npy(la.inv(arr(np.eye(n)))), np.eye(n))


@pytest.mark.parametrize("a", [
    np.zeros((0, 0)),
    np.array([[3.0]]),
    np.array([[0.0, 1.0], [1.0, 0.0]]),
    np.array([[1.0, 2.0], [2.0, 4.0]]),
    np.random.default_rng(5).standard_normal((30, 30)),
    np.vander(np.linspace(1, 2, 8)),
], ids=["empty", "one", "swap", "singular", "random", "vandermonde"])
def test_det(a):
    d = la.det(arr(a))
    assert isinstance(d, float)
    cond = np.linalg.cond(a) if a.size else 1.0
    assert d == pytest.approx(np.linalg.det(a), rel=min(1e-14 * cond, 1e-6) + 1e-13, abs=1e-300)


@pytest.mark.parametrize("shape", [(1, 1), (5, 5), (40, 6), (200, 30)])
@pytest.mark.parametrize("rhs", [None, 3])
def test_lstsq_matches_numpy(shape, rhs):
    rng = np.random.default_rng(shape[0] + shape[1])
    a = rng.standard_normal(shape)
    b = rng.standard_normal(shape[:1] if rhs is None else (shape[0], rhs))
    x = npy(la.lstsq(arr(a), arr(b)))
    want = np.linalg.lstsq(a, b, rcond=None)[0]
    assert x.shape == want.shape
    assert np.allclose(x, want, rtol=1e-10, atol=1e-12)


def test_lstsq_scales_exactly():
    a = np.random.default_rng(3).standard_normal((9, 4))
    b = np.arange(9.0)
    x = npy(la.lstsq(arr(a), arr(b)))
    assert np.array_equal(npy(la.lstsq(arr(np.ldexp(a, -300)), arr(np.ldexp(b, 600)))), np.ldexp(x, 900))


SQUARE_FNS = {"eigh": la.eigh, "eigvalsh": la.eigvalsh, "inv": la.inv, "det": la.det,
              "solve": lambda a: la.solve(a, arr(np.ones(2)))}


@pytest.mark.parametrize("fn", list(SQUARE_FNS))
@pytest.mark.parametrize("a, message", [
    (np.ones(2), "{fn}: a must be a 2D matrix, got shape [2]"),
    (np.ones((2, 3)), "{fn}: a must be a square matrix, got shape [2, 3]"),
    (np.array([[1.0, 0.0], [np.inf, 1.0]]), "{fn}: a must not contain NaN or infinity"),
    (np.array([[np.nan, 0.0], [0.0, 1.0]]), "{fn}: a must not contain NaN or infinity"),
], ids=["vector", "wide", "inf", "nan"])
def test_square_argument_errors(fn, a, message):
    with pytest.raises(ValueError) as info:
        SQUARE_FNS[fn](arr(a))
    assert str(info.value) == message.format(fn=fn)


@pytest.mark.parametrize("fn", ["solve", "lstsq"])
@pytest.mark.parametrize("b, message", [
    (np.ones(3), "{fn}: b must have 2 rows to match a, got shape [3]"),
    (np.ones((3, 2)), "{fn}: b must have 2 rows to match a, got shape [3, 2]"),
    (np.ones((2, 1, 1)), "{fn}: b must be a vector or a 2D matrix, got shape [2, 1, 1]"),
    (np.array([1.0, np.nan]), "{fn}: b must not contain NaN or infinity"),
], ids=["short", "rows", "3d", "nan"])
def test_right_hand_side_errors(fn, b, message):
    with pytest.raises(ValueError) as info:
        getattr(la, fn)(arr(np.eye(2)), arr(b))
    assert str(info.value) == message.format(fn=fn)


@pytest.mark.parametrize("call, message", [
    (lambda: la.solve(arr([[1.0, 2.0], [2.0, 4.0]]), arr([1.0, 1.0])), "Matrix is singular"),
    (lambda: la.inv(arr(np.zeros((3, 3)))), "Matrix is singular"),
    (lambda: la.lstsq(arr(np.ones((2, 3))), arr(np.ones(2))),
     "lstsq: a must have at least as many rows as columns, got shape [2, 3]"),
    (lambda: la.lstsq(arr([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0]]), arr(np.ones(3))),
     "lstsq: a is rank-deficient"),
    (lambda: la.lstsq(arr(np.ones(3)), arr(np.ones(3))), "lstsq: a must be a 2D matrix, got shape [3]"),
], ids=["solve_singular", "inv_singular", "lstsq_wide", "lstsq_rank", "lstsq_vector"])
def test_refusals(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


def test_solvers_stay_out_of_all():
    assert not {"eigh", "eigvalsh", "solve", "lstsq", "inv", "det"} & set(la.__all__)
    assert la.solve.__text_signature__ == "(a, b)"


# ---------------------------------------------------------------------------------------------
# Arguments in every form: the values an Array would hold give the same bits


def forms(x):
    """(id, argument) pairs carrying the values of the float64 array x (integers when x
    holds only integers, so that int and float32 inputs carry exactly the same values)."""
    x = np.asarray(x, dtype=float)
    wide = np.zeros((x.shape[0] * 2,) + x.shape[1:])
    wide[::2] = x
    out = [("Array", arr(x)), ("float64", x), ("float32", x.astype(np.float32)),
           ("fortran", np.asfortranarray(x)), ("strided", wide[::2]), ("list", x.tolist()),
           ("tuples", tuple(map(tuple, x)) if x.ndim == 2 else tuple(x))]
    if x.ndim == 2:
        out.append(("transposed", np.ascontiguousarray(x.T).T))
    return out + [("int64", x.astype(np.int64)), ("uint8", x.astype(np.uint8))]


A_SMALL = np.array([[4.0, 1.0, 2.0], [1.0, 5.0, 3.0], [2.0, 3.0, 7.0]])
TALL = np.array([[1.0, 2.0], [3.0, 5.0], [4.0, 1.0], [2.0, 2.0]])


def result_bits(r):
    if isinstance(r, tuple):
        return tuple(result_bits(x) for x in r)
    if isinstance(r, float):
        return bits(r).tobytes()
    assert type(r) is Array
    return (tuple(r.shape), bits(npy(r)).tobytes())


@pytest.mark.parametrize("fn, args", [
    ("eigh", (A_SMALL,)), ("eigvalsh", (A_SMALL,)), ("inv", (A_SMALL,)), ("det", (A_SMALL,)),
    ("solve", (A_SMALL, np.array([1.0, 2.0, 3.0]))), ("solve", (A_SMALL, np.arange(6.0).reshape(3, 2))),
    ("lstsq", (TALL, np.array([1.0, 0.0, 2.0, 5.0]))), ("lstsq", (TALL, np.arange(8.0).reshape(4, 2))),
], ids=["eigh", "eigvalsh", "inv", "det", "solve", "solve_matrix", "lstsq", "lstsq_matrix"])
def test_every_argument_form_gives_the_same_bits(fn, args):
    f = getattr(la, fn)
    want = result_bits(f(*(arr(x) for x in args)))
    for i in range(len(args)):
        for name, form in forms(args[i]):
            call = [arr(x) for x in args]
            call[i] = form
            assert result_bits(f(*call)) == want, (i, name)


@pytest.mark.parametrize("arg, error, message", [
    ("ab", TypeError, "argument 'a': expected an Array, a NumPy array or a sequence of numbers, not str"),
    (None, TypeError, "argument 'a': expected an Array, a NumPy array or a sequence of numbers, not NoneType"),
    (np.ones((2, 2), complex), TypeError, "argument 'a': dtype complex128 does not hold real numbers"),
    ([[1.0, 2.0], [3.0]], ValueError, "a rows must all have the same length"),
    (np.ones((2, 2, 2)), ValueError, "inv: a must be a 2D matrix, got shape [2, 2, 2]"),
    ([], ValueError, "inv: a must be a 2D matrix, got shape [0]"),
], ids=["str", "none", "complex", "ragged", "3d", "empty_list"])
def test_argument_forms_refused(arg, error, message):
    with pytest.raises(error) as info:
        la.inv(arg)
    assert str(info.value) == message
