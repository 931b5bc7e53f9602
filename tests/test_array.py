"""Array construction, shape, length, representation and list output."""

import math
import struct

import pytest
from hypothesis import given, strategies as st

import veltrix
from veltrix import Array
from helpers import assertion_text, panics, same_bits


@pytest.mark.parametrize("make", [
    lambda s: veltrix.zeros(s), lambda s: Array.zeros(s),
])
def test_zeros_module_and_static_agree(make):
    a = make([2, 2])
    assert a.shape == [2, 2] and a.tolist() == [[0.0, 0.0], [0.0, 0.0]]
    assert all(math.copysign(1, x) == 1 for row in a.tolist() for x in row)


def test_rank_zero_array():
    a = Array([], [7.0])
    assert a.shape == [] and len(a) == 1
    assert repr(a) == "Array(shape=[], data=[7.0])" == str(a)
    assert a.tolist() == 7.0 and isinstance(a.tolist(), float)


def test_length_mismatch_message():
    with pytest.raises(ValueError) as e:
        Array([2, 3], [1, 2, 3, 4, 5])
    assert str(e.value) == "Data length 5 doesn't match shape [2, 3] (expected 6)"
    with pytest.raises(ValueError) as e:
        Array([], [])
    assert str(e.value) == "Data length 0 doesn't match shape [] (expected 1)"


def test_empty_array_is_false():
    a = Array([0], [])
    assert len(a) == 0 and a.tolist() == [] and not a
    assert bool(veltrix.zeros([1]))


def test_len_is_element_count():
    assert len(veltrix.zeros([3, 4])) == 12


def test_shape_is_a_fresh_list():
    a = veltrix.zeros([2, 3])
    s = a.shape
    s.append(9)
    assert a.shape == [2, 3] and a.shape is not a.shape


@pytest.mark.parametrize("data, shape, expected", [
    ([1, 2, 3, 4], (2, 2), [2, 2]),
    ([1, 2, 3, 4], [2, 2], [2, 2]),
    ((1, 2.5, True), None, [3]),
    ([], None, [0]),
    (range(4), [4, 1], [4, 1]),
])
def test_asarray_shapes(data, shape, expected):
    a = veltrix.asarray(data, shape) if shape is not None else veltrix.asarray(data)
    assert a.shape == expected


def test_asarray_of_array_flattens_and_copies():
    m = Array([2, 2], [1, 2, 3, 4])
    assert veltrix.asarray(m).shape == [4]
    assert Array.asarray(m, [4, 1]).tolist() == [[1.0], [2.0], [3.0], [4.0]]
    assert veltrix.asarray((1, 2.5, True)).tolist() == [1.0, 2.5, 1.0]


def test_asarray_errors():
    with pytest.raises(ValueError) as e:
        veltrix.asarray([1, 2, 3], [2, 2])
    assert str(e.value) == "Data length 3 doesn't match shape [2, 2] (expected 4)"
    with pytest.raises(TypeError) as e:
        veltrix.asarray([1, 2], "ab")
    assert str(e.value) == "argument 'shape': Can't extract `str` to `Vec`"


def test_nested_list_is_not_flattened():
    with pytest.raises(TypeError) as e:
        veltrix.asarray([[1, 2], [3, 4]])
    msg = str(e.value)
    assert msg.startswith("argument 'data': failed to extract enum VecOrArray ('Array | Vec')\n"
                          "- variant Array (Array): TypeError: failed to extract field "
                          "VecOrArray::Array.0, caused by TypeError: 'list' object cannot be cast as 'Array'\n"
                          "- variant Vec (Vec): TypeError: failed to extract field VecOrArray::Vec.0, "
                          "caused by TypeError: ")
    assert isinstance(e.value.__cause__, TypeError)


def test_combined_error_for_str_exact():
    with pytest.raises(TypeError) as e:
        veltrix.asarray("ab")
    assert str(e.value) == (
        "argument 'data': failed to extract enum VecOrArray ('Array | Vec')\n"
        "- variant Array (Array): TypeError: failed to extract field VecOrArray::Array.0, caused by "
        "TypeError: 'str' object cannot be cast as 'Array'\n"
        "- variant Vec (Vec): TypeError: failed to extract field VecOrArray::Vec.0, caused by "
        "TypeError: Can't extract `str` to `Vec`")


def test_combined_error_when_str_fails():
    class Bad:
        def __float__(self):
            raise TypeError("no float")

        def __str__(self):
            raise RuntimeError("no str")

    with pytest.raises(TypeError) as e:
        veltrix.asarray([Bad()])
    assert "caused by TypeError: no float" in str(e.value)


@pytest.mark.parametrize("bad, name", [
    ({1: 2}, "dict"), ({1, 2}, "set"), ((x for x in [1]), "generator"), (3, "int"), (None, "NoneType"),
])
def test_sequence_refusals(bad, name):
    with pytest.raises(TypeError) as e:
        veltrix.zeros(bad)
    assert str(e.value) == f"argument 'shape': '{name}' object cannot be cast as 'Sequence'"


def test_sequence_item_errors_pass_unchanged():
    with pytest.raises(TypeError) as e:
        Array([2], [1.0, "x"])
    assert str(e.value).startswith("argument 'data': ")
    with pytest.raises(TypeError) as e:
        veltrix.zeros([1.5])
    assert str(e.value).startswith("argument 'shape': ")
    with pytest.raises(OverflowError):
        Array([1], [10 ** 400])


def test_array_as_float_sequence_gives_flat_values():
    m = Array([2, 2], [1, 2, 3, 4])
    assert Array([4], m).tolist() == [1.0, 2.0, 3.0, 4.0]


def test_overflowing_shape_is_refused_before_allocation():
    with pytest.raises(ValueError):
        veltrix.zeros([2 ** 32, 2 ** 32, 2 ** 32])
    with pytest.raises(ValueError):
        veltrix.ones([2 ** 62, 4])
    with pytest.raises(ValueError):
        Array([2 ** 33, 2 ** 33], [])
    with pytest.raises(ValueError):
        veltrix.eye(2 ** 40)
    assert veltrix.zeros([2 ** 63, 0]).shape == [2 ** 63, 0]


@pytest.mark.parametrize("args, expected", [
    ((2, None, 1), [[0.0, 1.0], [0.0, 0.0]]),
    ((2, 3, -1), [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]),
    ((3,), [[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]]),
    ((2, 3, 1), [[0, 1.0, 0], [0, 0, 1.0]]),
    ((3, 2, -1), [[0, 0], [1.0, 0], [0, 1.0]]),
    ((2, 2, 5), [[0, 0], [0, 0]]),
    ((3, None, -2), [[0, 0, 0], [0, 0, 0], [1.0, 0, 0]]),
    ((2, 2, -(2 ** 63)), [[0, 0], [0, 0]]),
])
def test_eye(args, expected):
    assert veltrix.eye(*args).tolist() == expected
    assert Array.eye(*args).tolist() == expected


def test_eye_empty_and_keywords():
    assert veltrix.eye(0).shape == [0, 0]
    assert veltrix.eye(n=2, k=1).tolist() == [[0.0, 1.0], [0.0, 0.0]]


def test_full_keeps_signed_zero_and_nan():
    a = veltrix.full([2], -0.0)
    assert [math.copysign(1, x) for x in a.tolist()] == [-1, -1]
    assert math.isnan(veltrix.full([1], float("nan")).tolist()[0])
    assert veltrix.full([], 3.5).tolist() == 3.5
    assert veltrix.ones([0, 4]).shape == [0, 4]


def test_column_stack():
    a = veltrix.column_stack([veltrix.asarray([1, 2, 3]), veltrix.asarray([4, 5, 6])])
    assert a.tolist() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]
    m = Array([2, 2], [1, 2, 3, 4])
    assert veltrix.column_stack([m, veltrix.asarray([7, 8])]).tolist() == [[1, 2, 7], [3, 4, 8]]
    ones = [veltrix.asarray([1.0])] * 3
    assert veltrix.column_stack(ones).shape == [1, 3]
    assert veltrix.column_stack([veltrix.zeros([0, 2]), veltrix.zeros([0])]).shape == [0, 3]


def test_column_stack_errors():
    with pytest.raises(ValueError) as e:
        veltrix.column_stack([])
    assert str(e.value) == "Need at least one array"
    with panics(assertion_text("All arrays must have the same number of rows", 3, 2)):
        veltrix.column_stack([veltrix.asarray([1, 2]), veltrix.asarray([1, 2, 3])])
    with panics("column_stack only supports 1D and 2D arrays"):
        veltrix.column_stack([veltrix.zeros([]), veltrix.asarray([1, 2, 3])])
    with pytest.raises(TypeError) as e:
        veltrix.column_stack([[1, 2]])
    assert str(e.value) == "argument 'arrays': 'list' object cannot be cast as 'Array'"


@pytest.mark.parametrize("value, text", [
    (1.0, "1.0"), (0.5, "0.5"), (-0.0, "-0.0"), (0.0, "0.0"), (0.0001, "0.0001"),
    (123456789.25, "123456789.25"), (1e16, "1e16"), (1.5e-5, "1.5e-5"), (-2.5e20, "-2.5e20"),
    (1e-5, "1e-5"), (1e20, "1e20"), (float("nan"), "NaN"), (float("inf"), "inf"),
    (float("-inf"), "-inf"), (9999999999999998.0, "9999999999999998.0"), (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"), (0.1 + 0.2, "0.30000000000000004"),
    (-0.00009999, "-9.999e-5"),
])
def test_repr_elements(value, text):
    assert repr(veltrix.asarray([value])) == f"Array(shape=[1], data=[{text}])"


def test_repr_identity_and_no_truncation():
    assert repr(veltrix.eye(2)) == "Array(shape=[2, 2], data=[1.0, 0.0, 0.0, 1.0])"
    assert repr(veltrix.zeros([0, 3])) == "Array(shape=[0, 3], data=[])"
    assert repr(veltrix.zeros([5000])).count("0.0") == 5000


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_repr_round_trips(x):
    text = repr(veltrix.asarray([x]))[len("Array(shape=[1], data=["):-2]
    assert float(text) == x and math.copysign(1, float(text)) == math.copysign(1, x)


def test_tolist_nesting():
    a = Array([2, 3], range(6))
    assert a.tolist() == [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]
    assert veltrix.zeros([2, 0]).tolist() == [[], []]
    assert veltrix.zeros([0, 3]).tolist() == []
    assert veltrix.zeros([1, 1, 2]).tolist() == [[[0.0, 0.0]]]


def test_to_pylist_recursive():
    a = Array([2, 3], range(6))
    assert a.to_pylist_recursive(0, 0) == a.tolist()
    assert a.to_pylist_recursive(1, 3) == [3.0, 4.0, 5.0]
    assert a.to_pylist_recursive(dim=1, offset=1) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("shape, dim, offset", [
    ([2, 3], 2, 0), ([2, 3], 1, 4), ([2, 3], 0, 1), ([], 0, 0), ([3], 0, 2 ** 64 - 1), ([3], 5, 0),
])
def test_to_pylist_recursive_out_of_range(shape, dim, offset):
    a = veltrix.zeros(shape)
    with pytest.raises(ValueError):
        a.to_pylist_recursive(dim, offset)


def test_to_pylist_recursive_negative_is_overflow():
    with pytest.raises(OverflowError):
        veltrix.zeros([2]).to_pylist_recursive(0, -1)


def test_converted_array_is_independent():
    src = Array([2], [1, 2])
    out = veltrix.asarray(src)
    assert out is not src and out.tolist() == [1.0, 2.0]


@given(st.lists(st.floats(), max_size=50))
def test_floats_round_trip_through_array(values):
    assert same_bits(Array([len(values)], values).tolist(), values)
