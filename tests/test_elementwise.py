"""Element-wise arithmetic with broadcasting, the operator protocol and the transforms."""

import ctypes
import ctypes.util
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import veltrix
from veltrix import Array
from helpers import bits, panics, same_bits

NAN = float("nan")
INF = float("inf")
SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, -0.75, 2.0, 1e-310, -1e-310, 1e300, -1e300, 710.0,
            -745.5, 3.141592653589793, 1e22, INF, -INF, NAN]


def arr(values, shape=None):
    values = [float(v) for v in values]
    return Array([len(values)] if shape is None else shape, values)


def flat(a):
    """The data of any Array in row-major order."""
    return list(a)


# ---------------------------------------------------------------------------------------------
# Operators and their dispatch

@pytest.mark.parametrize("expr, expected", [
    (lambda a: a + 1, [2, 3, 4]),
    (lambda a: 1 + a, [2, 3, 4]),
    (lambda a: 10 - a, [9, 8, 7]),
    (lambda a: a - 10, [-9, -8, -7]),
    (lambda a: 6 / a, [6, 3, 2]),
    (lambda a: a / 2, [0.5, 1, 1.5]),
    (lambda a: 2 * a, [2, 4, 6]),
    (lambda a: a * True, [1, 2, 3]),
    (lambda a: a * np.float64(0.5), [0.5, 1, 1.5]),
    (lambda a: -a, [-1, -2, -3]),
])
def test_scalar_operators(expr, expected):
    a = arr([1, 2, 3])
    r = expr(a)
    assert type(r) is Array and r.shape == [3] and flat(r) == [float(x) for x in expected]
    assert flat(a) == [1.0, 2.0, 3.0]


def test_result_is_new_even_for_identity():
    a = arr([1, 2])
    for r in (a * 1, a + 0, a / 1, a - a * 0):
        assert r is not a and flat(r) == [1.0, 2.0]


@pytest.mark.parametrize("expr", [
    lambda a: a + "x", lambda a: "x" + a, lambda a: a + [1, 2], lambda a: (1, 2) * a,
    lambda a: a + None, lambda a: a ** 2, lambda a: a // 2, lambda a: a % 2, lambda a: abs(a),
    lambda a: a < a, lambda a: divmod(a, 2),
], ids=["str", "rstr", "list", "rtuple", "none", "pow", "floordiv", "mod", "abs", "lt", "divmod"])
def test_unsupported_operands_raise_the_interpreters_type_error(expr):
    with pytest.raises(TypeError):
        expr(arr([1, 2]))


def test_not_implemented_lets_the_other_operand_answer():
    class Other:
        def __radd__(self, o):
            return "radd"

        def __rtruediv__(self, o):
            return "rtruediv"

        def __sub__(self, o):
            return "sub"

    a = arr([1])
    assert a + Other() == "radd" and a / Other() == "rtruediv" and Other() - a == "sub"


def test_in_place_forms_rebind_and_equality_is_identity():
    a = arr([1, 2])
    keep = a
    a += 1
    assert a is not keep and flat(keep) == [1.0, 2.0] and flat(a) == [2.0, 3.0]
    b = arr([1, 2])
    assert (b == b) is True and (b == arr([1, 2])) is False


# ---------------------------------------------------------------------------------------------
# Broadcasting

@pytest.mark.parametrize("sa, sb, out", [
    ([3, 1], [4], [3, 4]), ([], [5], [5]), ([5], [], [5]), ([1], [0], [0]), ([0], [0], [0]),
    ([2, 1, 3], [4, 1], [2, 4, 3]), ([1, 1], [1], [1, 1]), ([], [], []), ([2, 0], [1, 1], [2, 0]),
    ([3, 1, 1], [1, 2, 1], [3, 2, 1]),
])
def test_broadcast_shapes(sa, sb, out):
    a = Array(sa, [1.0] * math.prod(sa))
    b = Array(sb, [2.0] * math.prod(sb))
    for r in (a + b, b - a):
        assert r.shape == out and len(r) == math.prod(out)


def test_broadcast_values_in_row_major_order():
    a = Array([2, 1], [1, 2])
    b = Array([1, 3], [10, 20, 30])
    assert (a - b).tolist() == [[-9, -19, -29], [-8, -18, -28]]
    c = Array([3], [1, 2, 3])
    assert (a * c).tolist() == (c * a).tolist() == [[1, 2, 3], [2, 4, 6]]


@pytest.mark.parametrize("sa, sb", [([2], [3]), ([2, 3], [3, 2]), ([0], [3]), ([2, 2], [4])])
def test_incompatible_shapes_are_an_internal_error(sa, sb):
    a, b = veltrix.ones(sa), veltrix.ones(sb)
    for op in (lambda: a + b, lambda: a - b, lambda: a * b, lambda: a / b):
        with panics("Shapes are not broadcast-compatible"):
            op()
    assert flat(a + 1) == [2.0] * len(a)


def test_ieee_division():
    assert same_bits(flat(1.0 / arr([0.0, -0.0])), [INF, -INF])
    assert math.isnan(flat(arr([0.0]) / 0.0)[0])
    assert same_bits(flat(arr([1e308]) * 10), [INF])


FLOATS = st.floats(allow_nan=True, allow_infinity=True, width=64)


@st.composite
def broadcast_pair(draw):
    out = draw(st.lists(st.integers(0, 4), max_size=4))
    def operand():
        rank = draw(st.integers(0, len(out)))
        shape = [d if draw(st.booleans()) else 1 for d in out[len(out) - rank:]]
        data = draw(st.lists(FLOATS, min_size=math.prod(shape), max_size=math.prod(shape)))
        return np.array(data, dtype=np.float64).reshape(shape)
    return operand(), operand()


OPS = [("+", lambda x, y: x + y), ("-", lambda x, y: x - y), ("*", lambda x, y: x * y),
       ("/", lambda x, y: x / y)]


def assert_same_bits(got, expected, x, y):
    """Bit-for-bit equality, except where both operands are NaN: IEEE 754 leaves open which
    payload survives, and NumPy's own choice there changes with the array length."""
    got, expected = np.ascontiguousarray(got), np.ascontiguousarray(expected)
    both_nan = np.isnan(x) & np.isnan(y)
    assert np.isnan(got[both_nan]).all()
    assert got[~both_nan].tobytes() == expected[~both_nan].tobytes()


@settings(max_examples=300, deadline=None)
@given(broadcast_pair())
def test_broadcast_arithmetic_matches_numpy_bit_for_bit(pair):
    x, y = pair
    a, b = Array.from_numpy(x), Array.from_numpy(y)
    with np.errstate(all="ignore"):
        for _, op in OPS:
            expected = op(x, y)
            got = op(a, b)
            assert got.shape == list(expected.shape)
            assert_same_bits(got.to_numpy(), expected, *np.broadcast_arrays(x, y))


@settings(max_examples=200, deadline=None)
@given(st.lists(FLOATS, max_size=20), FLOATS)
def test_scalar_arithmetic_matches_numpy_bit_for_bit(values, s):
    x = np.array(values, dtype=np.float64)
    a = Array.from_numpy(x)
    with np.errstate(all="ignore"):
        for _, op in OPS:
            sx = np.full_like(x, s)
            assert_same_bits(op(a, s).to_numpy(), op(x, np.float64(s)), x, sx)
            assert_same_bits(op(s, a).to_numpy(), op(np.float64(s), x), sx, x)


# ---------------------------------------------------------------------------------------------
# Transforms

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))


def c_function(name):
    f = getattr(LIBM, name)
    f.restype, f.argtypes = ctypes.c_double, [ctypes.c_double]
    return f


@pytest.mark.parametrize("method, cname", [
    ("exp", "exp"), ("log", "log"), ("sqrt", "sqrt"), ("sin", "sin"), ("cos", "cos"),
    ("tan", "tan"), ("arcsin", "asin"), ("arccos", "acos"), ("arctan", "atan"),
])
def test_transforms_give_the_c_library_results(method, cname):
    f = c_function(cname)
    values = SPECIALS + [i / 7 - 3 for i in range(50)]
    got = flat(getattr(arr(values), method)())
    assert same_bits(got, [f(v) for v in values])


def test_transforms_keep_shape():
    a = Array([2, 1, 3], [0.1 * i for i in range(6)])
    assert a.exp().shape == a.clip(0, 1).shape == [2, 1, 3]
    assert Array([], [4.0]).sqrt().tolist() == 2.0 and veltrix.zeros([0]).exp().shape == [0]


def sign_flipped(x):
    return struct.unpack("<d", struct.pack("<Q", struct.unpack("<Q", bits(x))[0] ^ (1 << 63)))[0]


def test_negation_and_abs_work_on_the_sign_bit():
    payload_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_1234))[0]
    values = SPECIALS + [payload_nan]
    assert same_bits(flat(-arr(values)), [sign_flipped(v) for v in values])
    negatives = [v if bits(v)[7] & 0x80 else sign_flipped(v) for v in values]
    assert same_bits(flat(arr(negatives).abs()), [v if not bits(v)[7] & 0x80 else sign_flipped(v)
                                                   for v in negatives])
    assert same_bits(flat(-arr([0.0, -1.0])), [-0.0, 1.0])


def test_sign():
    assert same_bits(flat(arr([-2.0, -0.0, 0.0, 3.0, NAN, -INF, 1e-320]).sign()),
                     [-1.0, 0.0, 0.0, 1.0, 0.0, -1.0, 1.0])


@pytest.mark.parametrize("values, lo, hi, expected", [
    ([-1, 0.5, 2], 0, 1, [0, 0.5, 1]),
    ([0.5, 1.5], 1, 0, [1, 0]),
    ([NAN, -5.0, 5.0], NAN, 1, [NAN, -5.0, 1.0]),
    ([-5.0, 5.0], -1, NAN, [-1.0, 5.0]),
    ([-0.0, 0.0], 0.0, -0.0, [-0.0, 0.0]),
])
def test_clip(values, lo, hi, expected):
    assert same_bits(flat(arr(values).clip(lo, hi)), [float(v) for v in expected])


def test_clip_arguments():
    a = arr([1, 5])
    assert flat(a.clip(max=2, min=0)) == [1.0, 2.0]
    with pytest.raises(TypeError) as e:
        a.clip("0", 1)
    assert str(e.value) == "argument 'min': must be real number, not str"
    assert isinstance(e.value.__cause__, TypeError)
    with pytest.raises(TypeError) as e:
        a.clip(0, None)
    assert str(e.value) == "argument 'max': must be real number, not NoneType"
    with pytest.raises(TypeError) as e:
        a.sin(1)
    assert str(e.value) == "Array.sin() takes no arguments (1 given)"
