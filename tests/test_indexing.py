"""Subscription, item assignment, get, take, membership and iteration of Array."""

import ctypes

import pytest

import veltrix
from veltrix import Array


def matrix():
    return Array([2, 3], [0, 1, 2, 3, 4, 5])


def vector():
    return Array([3], [10, 11, 12])


def snapshot(a):
    return a.shape, a.tolist()


# ---------------------------------------------------------------------------------------------
# Reading

@pytest.mark.parametrize("key, expected", [
    (1, [3.0, 4.0, 5.0]), (-1, [3.0, 4.0, 5.0]), (True, [3.0, 4.0, 5.0]), ((1,), [3.0, 4.0, 5.0]),
    ((1, 2), 5.0), ((-2, -3), 0.0), ((), [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
    (slice(0, 4), [0.0, 1.0, 2.0, 3.0]), (slice(None, None, -1), [5.0, 4.0, 3.0, 2.0, 1.0, 0.0]),
    (slice(1, None, 2), [1.0, 3.0, 5.0]), (slice(100, 200), []), (slice(-2, None), [4.0, 5.0]),
])
def test_matrix_reads(key, expected):
    a = matrix()
    r = a[key]
    if isinstance(expected, float):
        assert type(r) is float and r == expected
    else:
        assert type(r) is Array and r.tolist() == expected
    assert snapshot(a) == snapshot(matrix())


def test_reads_copy():
    a = matrix()
    row = a[1]
    a[1, 0] = 99
    assert row.tolist() == [3.0, 4.0, 5.0] and a[()].tolist()[1][0] == 99.0


@pytest.mark.parametrize("key, expected", [
    (-3, 10.0), (0, 10.0), (2, 12.0), (slice(5, 1, -2), [12.0]), (slice(-100, 100), [10.0, 11.0, 12.0]),
    (slice(None, None, 2**62), [10.0]), (slice(None, None, -(2**62)), [12.0]),
])
def test_vector_reads(key, expected):
    r = vector()[key]
    assert (r if isinstance(r, float) else r.tolist()) == expected


def test_deeper_blocks_and_rank_zero():
    a = Array([2, 2, 2], list(range(8)))
    assert a[1].shape == [2, 2] and a[1].tolist() == [[4, 5], [6, 7]]
    assert a[1, 0].tolist() == [4.0, 5.0] and a[(1, 1, 0)] == 6.0
    z = Array([], [7.5])
    assert z[()] == 7.5
    assert Array([2, 0], [])[1].shape == [0]


@pytest.mark.parametrize("a, key, exc, message", [
    (matrix(), 2, ValueError, "index 2 is out of bounds for axis 0 with size 2"),
    (matrix(), -3, ValueError, "index -3 is out of bounds for axis 0 with size 2"),
    (matrix(), (1, 3), ValueError, "index 3 is out of bounds for axis 1 with size 3"),
    (matrix(), (-3, 0), ValueError, "index -3 is out of bounds for axis 0 with size 2"),
    (matrix(), (0, 0, 0), ValueError, "too many indices for array: array is 2-dimensional, but 3 were indexed"),
    (Array([], [1]), 0, ValueError, "too many indices for array: array is 0-dimensional, but 1 were indexed"),
    (Array([], [1]), (0,), ValueError, "too many indices for array: array is 0-dimensional, but 1 were indexed"),
    (vector(), -4, ValueError, "index -4 is out of bounds for axis 0 with size 3"),
    (vector(), -(2**63), ValueError, f"index {-(2**63)} is out of bounds for axis 0 with size 3"),
    (veltrix.zeros([0]), 0, ValueError, "index 0 is out of bounds for axis 0 with size 0"),
    (matrix(), 1.0, ValueError, "indices must be integers, slices, or tuples of integers"),
    (matrix(), [0], ValueError, "indices must be integers, slices, or tuples of integers"),
    (matrix(), None, ValueError, "indices must be integers, slices, or tuples of integers"),
    (matrix(), "0", ValueError, "indices must be integers, slices, or tuples of integers"),
    (matrix(), 2**64, ValueError, "indices must be integers, slices, or tuples of integers"),
    (matrix(), (0, slice(1, 2)), TypeError, "'slice' object cannot be interpreted as an integer"),
    (matrix(), (0.0,), TypeError, "'float' object cannot be interpreted as an integer"),
    (matrix(), (2**64,), OverflowError, None),  # the interpreter's own wording
    (matrix(), slice(None, None, 0), ValueError, "slice step cannot be zero"),
])
def test_read_failures(a, key, exc, message):
    with pytest.raises(exc) as e:
        a[key]
    assert type(e.value) is exc and message in (None, str(e.value))


# ---------------------------------------------------------------------------------------------
# Assignment and deletion

@pytest.mark.parametrize("make, key, value, flat_pos", [
    (matrix, (0, 1), 9, 1), (matrix, (-1, -1), 2.5, 5), (vector, 1, True, 1), (vector, -1, 7, 2),
    (lambda: Array([], [1]), (), 3, 0),
])
def test_assignment_writes_one_element(make, key, value, flat_pos):
    a = make()
    before = list(a)
    a[key] = value
    before[flat_pos] = float(value)
    assert list(a) == before


@pytest.mark.parametrize("make, key, value, exc, message", [
    (matrix, 0, 9, ValueError, "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays"),
    (matrix, slice(0, 2), 1, ValueError, "indices must be integers or tuples of integers for assignment"),
    (matrix, 1.5, 1, ValueError, "indices must be integers or tuples of integers for assignment"),
    (matrix, (1, 1, 1), 0, ValueError, "cannot set item: expected 2 indices, got 3"),
    (matrix, (1,), 0, ValueError, "cannot set item: expected 2 indices, got 1"),
    (matrix, (2, 0), 0, ValueError, "index 2 is out of bounds for axis 0 with size 2"),
    (matrix, (0, -4), 0, ValueError, "index -4 is out of bounds for axis 1 with size 3"),
    (vector, 3, 0, ValueError, "index 3 is out of bounds for axis 0 with size 3"),
    (vector, (0.5,), 0, TypeError, "'float' object cannot be interpreted as an integer"),
    (vector, 0, "x", TypeError, "argument 'value': must be real number, not str"),
    (vector, slice(0, 1), None, TypeError, "argument 'value': must be real number, not NoneType"),
])
def test_assignment_failures_leave_the_array_unchanged(make, key, value, exc, message):
    a = make()
    before = snapshot(a)
    with pytest.raises(exc) as e:
        a[key] = value
    assert type(e.value) is exc and str(e.value) == message
    assert snapshot(a) == before


@pytest.mark.parametrize("key", [0, (0, 0), slice(None), "x"])
def test_deletion_is_refused(key):
    a = matrix()
    with pytest.raises(NotImplementedError) as e:
        del a[key]
    assert str(e.value) == "can't delete item"


def test_assignment_holds_the_array_exclusively():
    a = vector()

    class ReadsBack:
        def __float__(self):
            return a[0]

    with pytest.raises(RuntimeError) as e:
        a[1] = ReadsBack()
    assert str(e.value) == "Already mutably borrowed"
    assert list(a) == [10.0, 11.0, 12.0]
    a[1] = 5  # the borrow was released
    assert a[1] == 5.0


def test_sequence_slots():
    api = ctypes.pythonapi
    api.PySequence_Check.argtypes = [ctypes.py_object]
    api.PySequence_GetItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    api.PySequence_GetItem.restype = ctypes.py_object
    api.PySequence_SetItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t, ctypes.py_object]
    api.PySequence_DelItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    a = matrix()
    assert api.PySequence_Check(a) == 1
    assert api.PySequence_GetItem(a, 1).tolist() == [3.0, 4.0, 5.0]
    with pytest.raises(ValueError) as e:
        api.PySequence_GetItem(a, 2)
    assert str(e.value) == "index 2 is out of bounds for axis 0 with size 2"
    v = vector()
    assert api.PySequence_SetItem(v, 0, 4.0) == 0 and v[0] == 4.0
    with pytest.raises(NotImplementedError):
        api.PySequence_DelItem(v, 0)


# ---------------------------------------------------------------------------------------------
# get and take

@pytest.mark.parametrize("indices, expected", [([1, 2], 5.0), ((0, 0), 0.0), ([1, 0], 3.0)])
def test_get(indices, expected):
    assert matrix().get(indices) == expected


@pytest.mark.parametrize("indices", [[1], [2, 0], [0, 3], [0, 0, 0], []])
def test_get_out_of_bounds(indices):
    with pytest.raises(ValueError) as e:
        matrix().get(indices)
    assert str(e.value) == "Index out of bounds"


def test_get_conversion_errors():
    with pytest.raises(OverflowError):
        matrix().get([-1, 0])
    with pytest.raises(TypeError) as e:
        matrix().get(1)
    assert str(e.value) == "argument 'indices': 'int' object cannot be cast as 'Sequence'"
    assert Array([], [2.5]).get([]) == 2.5


def test_take():
    a = matrix()
    r = a.take([5, 0, 5])
    assert r.shape == [3] and r.tolist() == [5.0, 0.0, 5.0]
    assert a.take([]).shape == [0]
    assert a.take(indices=(3,)).tolist() == [3.0]


@pytest.mark.parametrize("a, indices, message", [
    (matrix(), [0, 6], "take index 6 is out of bounds for an array of 6 elements"),
    (veltrix.zeros([0]), [0], "take index 0 is out of bounds for an array of 0 elements"),
    (matrix(), [2**64 - 1], f"take index {2**64 - 1} is out of bounds for an array of 6 elements"),
])
def test_take_out_of_bounds(a, indices, message):
    with pytest.raises(ValueError) as e:
        a.take(indices)
    assert str(e.value) == message


# ---------------------------------------------------------------------------------------------
# Membership

@pytest.mark.parametrize("value, expected", [
    (4.0, True), (4, True), (True, True), (6, False), (float("nan"), False), (-0.0, True),
])
def test_membership(value, expected):
    assert (value in matrix()) is expected


def test_membership_edge_cases():
    assert (float("nan") in Array([1], [float("nan")])) is False
    assert (0.0 in Array([1], [-0.0])) is True
    assert (0.0 in veltrix.zeros([0])) is False
    with pytest.raises(TypeError) as e:
        "x" in matrix()
    assert str(e.value) == "argument 'value': must be real number, not str"


# ---------------------------------------------------------------------------------------------
# Iteration

def test_iteration_walks_flat_data():
    it = iter(matrix())
    assert type(it) is veltrix.PyArrayIter and iter(it) is it
    assert list(it) == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert list(Array([], [2.0])) == [2.0] and list(veltrix.zeros([3, 0])) == []


def test_iterator_owns_a_snapshot():
    a = matrix()
    it = iter(a)
    a[0, 0] = 7
    assert next(it) == 0.0
    del a
    assert list(it) == [1.0, 2.0, 3.0, 4.0, 5.0]


def test_iterator_class_has_no_constructor():
    with pytest.raises(TypeError) as e:
        veltrix.PyArrayIter()
    assert str(e.value) == "cannot create 'builtins.PyArrayIter' instances"
