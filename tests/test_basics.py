"""The NumPy-style Array basics against NumPy, and the guide's statements about eig."""

import numpy as np
import pytest

import veltrix
from veltrix import Array, linalg

from helpers import same_bits

NAN = float("nan")
RNG = np.random.default_rng(20)

# Named data set-ups; the long ones reach the vector loop of the extremes and its tail.
INPUTS = {
    "random 2x3": RNG.standard_normal((2, 3)),
    "random 1001": RNG.standard_normal(1001),
    "random 3x4x5": RNG.standard_normal((3, 4, 5)),
    "empty [0]": np.zeros(0),
    "empty [2, 0, 3]": np.zeros((2, 0, 3)),
    "rank 0": np.array(7.5),
    "rank 0 -0.0": np.array(-0.0),
    "nan": np.array([1.0, NAN, -2.0, NAN]),
    "nan late in 1000": np.where(np.arange(1000) == 777, NAN, RNG.standard_normal(1000)),
    "infinities": np.array([[np.inf, -np.inf], [1.0, -np.inf]]),
    "zeros +-": np.array([0.0, -0.0]),
    "zeros -+": np.array([-0.0, 0.0, 1.0]),
    "zeros 20": np.array([0.0, -0.0, 0.0] * 6 + [-0.0, 0.0]),
    "zeros with extremes": np.array([1.0] * 9 + [-0.0, 0.0, -0.0] + [2.0] * 9),
}


def make(x):
    return Array(list(x.shape), x.ravel().tolist())


def case(name):
    return make(INPUTS[name]), INPUTS[name]


@pytest.mark.parametrize("name", INPUTS)
def test_properties_match_numpy(name):
    a, x = case(name)
    assert (a.ndim, a.size, a.nbytes) == (x.ndim, x.size, x.nbytes)
    assert a.T.shape == list(x.T.shape) and same_bits(a.T.to_numpy().ravel(), x.T.ravel())
    if x.ndim == 2:
        assert same_bits(a.T.to_numpy().ravel(), a.t().to_numpy().ravel())


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize("member", ["min", "max", "argmin", "argmax"])
def test_extremes_match_numpy(name, member):
    a, x = case(name)
    if x.size == 0:
        word = "minimum" if member.endswith("min") else "maximum"
        with pytest.raises(ValueError) as info:
            getattr(a, member)()
        assert str(info.value) == f"zero-size array has no {word}"
        return
    got, want = getattr(a, member)(), getattr(x, member)()
    if member.startswith("arg"):
        assert type(got) is int and got == want
    else:
        # NumPy's sign among equal zeros depends on its vector width; ours is the first one's.
        first = x.flat[getattr(x, "arg" + member)()]
        assert type(got) is float and same_bits([got], [first]) and (got == want or want != want)


RESHAPES = [
    ("random 2x3", [3, 2]), ("random 2x3", [-1]), ("random 2x3", [1, -1, 3]), ("random 2x3", [6, 1]),
    ("random 3x4x5", [-1, 6]), ("rank 0", []), ("rank 0", [1, 1, -1]), ("random 1001", [7, 11, 13]),
    ("empty [0]", [5, 0, 2]), ("empty [2, 0, 3]", [0]),
]


@pytest.mark.parametrize("name, shape", RESHAPES)
def test_reshape_matches_numpy(name, shape):
    a, x = case(name)
    r, y = a.reshape(shape), x.reshape(shape)
    assert r.shape == list(y.shape) and same_bits(r.to_numpy().ravel(), y.ravel())
    assert a.shape == list(x.shape)


@pytest.mark.parametrize("shape, message", [
    ([4, 2], "cannot reshape array of size 6 into shape [4, 2] of size 8"),
    ([7], "cannot reshape array of size 6 into shape [7] of size 7"),
    ([], "cannot reshape array of size 6 into shape [] of size 1"),
    ([4, -1], "cannot reshape array of size 6 into shape [4, -1]"),
    ([0, -1], "cannot reshape array of size 6 into shape [0, -1]"),
    ([2 ** 32, 2 ** 32], "cannot reshape array of size 6 into shape [4294967296, 4294967296] of size above 2^64"),
    ([-1, 2, -1], "can only specify one unknown dimension"),
    ([3, -2], "negative dimensions not allowed"),
])
def test_reshape_refusals(shape, message):
    a = make(INPUTS["random 2x3"])
    with pytest.raises(ValueError) as info:
        a.reshape(shape)
    assert str(info.value) == message


@pytest.mark.parametrize("shape", [[-1, 0], [3, 0, -1]])
def test_reshape_of_empty_cannot_infer_a_length(shape):
    with pytest.raises(ValueError) as info:
        veltrix.zeros([2, 0]).reshape(shape)
    assert str(info.value) == f"cannot reshape array of size 0 into shape {shape}"


@pytest.mark.parametrize("shape, message", [
    (6, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
    ([1.5, 4], "argument 'shape': 'float' object cannot be interpreted as an integer"),
    ("23", "argument 'shape': Can't extract `str` to `Vec`"),
])
def test_reshape_argument_errors(shape, message):
    with pytest.raises(TypeError) as info:
        make(INPUTS["random 2x3"]).reshape(shape)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["random 2x3", "rank 0", "empty [2, 0, 3]"])
def test_copy_is_independent(name):
    a, x = case(name)
    c = a.copy()
    assert c is not a and c.shape == a.shape and same_bits(c.to_numpy().ravel(), x.ravel())
    if a.size:
        c[(0,) * a.ndim] = 99.0
        assert same_bits(a.to_numpy().ravel(), x.ravel())


# ---------------------------------------------------------------------------------------------
# The eig warning of the linear-algebra guide: its statements hold (its examples run in
# test_docs_code.py).


def symmetric(values):
    q, _ = np.linalg.qr(np.random.default_rng(3).standard_normal((len(values), len(values))))
    return (q * values) @ q.T


def residual(a, values, vectors):
    return float(np.max(np.abs(a @ vectors - vectors * values)))


def eig_np(a, **kw):
    values, vectors = linalg.eig_with_params(make(a), **kw) if kw else linalg.eig(make(a))
    return values.to_numpy(), vectors.to_numpy()


def test_eig_warning_statements():
    # Symmetric with distinct magnitudes: converged values and a vanishing residual.
    a = symmetric([9.0, -4.0, 2.0, 1.0])
    values, vectors = eig_np(a)
    assert np.allclose(values, [9.0, -4.0, 2.0, 1.0], rtol=1e-12, atol=0)
    assert residual(a, values, vectors) < 1e-9
    # Equal magnitudes (3 and -3 here) are not separated, silently; the residual shows it.
    b = symmetric([3.0, -3.0, 1.0])
    values, vectors = eig_np(b)
    assert not np.allclose(np.sort(values), [-3.0, 1.0, 3.0], atol=1e-3)
    assert residual(b, values, vectors) > 0.1
    # A complex pair leaves a real diagonal that is no eigenvalue.
    values, _ = eig_np(np.array([[0.0, -2.0], [2.0, 0.0]]))
    assert np.all(np.abs(values) < 1e-6)
    # Non-symmetric with real, distinct magnitudes: right values, Schur vectors (no eigenvectors).
    c = np.array([[2.0, 1.0], [0.0, 3.0]])
    values, vectors = eig_np(c)
    assert np.allclose(values, [3.0, 2.0]) and residual(c, values, vectors) > 0.1
    # max_iter bounds the work and the result still comes back without an error.
    values, _ = eig_np(a, max_iter=1)
    assert not np.allclose(values, [9.0, -4.0, 2.0, 1.0], rtol=1e-6)
