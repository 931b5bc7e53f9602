"""Exchange with NumPy: to_numpy, from_numpy, and the module working without NumPy."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import veltrix
from veltrix import Array


def test_to_numpy():
    a = Array([2, 3], [0, 1, 2, 3, 4, 5])
    x = a.to_numpy()
    assert type(x) is np.ndarray and x.shape == (2, 3) and x.dtype == np.float64
    assert x.flags.c_contiguous and x.flags.writeable and x[1, 0] == 3.0
    x[0, 0] = 42.0
    assert a.tolist()[0][0] == 0.0
    a[0, 1] = -1
    assert x[0, 1] == 1.0


def test_to_numpy_buffer_owner():
    a = Array([2, 2], [1, 2, 3, 4])
    x = a.to_numpy()
    flat = x.base
    assert type(flat) is np.ndarray and flat.shape == (4,)
    assert type(flat.base).__name__ == "PySliceContainer"
    with pytest.raises(TypeError) as e:
        type(flat.base)()
    assert str(e.value) == "cannot create 'builtins.PySliceContainer' instances"
    del a, flat
    view = x[1]
    del x
    assert view.tolist() == [3.0, 4.0]


@pytest.mark.parametrize("shape", [[], [0], [3, 0], [0, 2, 5], [1], [2, 1, 3]])
def test_to_numpy_shapes(shape):
    a = veltrix.full(shape, 1.5)
    x = a.to_numpy()
    assert list(x.shape) == shape and x.size == len(a) and (x == 1.5).all()


def test_from_numpy():
    a = Array.from_numpy(np.arange(6.0).reshape(2, 3))
    assert a.shape == [2, 3] and a.tolist() == [[0, 1, 2], [3, 4, 5]]
    z = Array.from_numpy(np.array(1.5))
    assert z.shape == [] and z.tolist() == 1.5
    ro = np.arange(3.0)
    ro.flags.writeable = False
    assert Array.from_numpy(arr=ro).tolist() == [0.0, 1.0, 2.0]
    x = np.arange(4.0)
    a = Array.from_numpy(x)
    x[0] = 9.0
    assert a.tolist() == [0.0, 1.0, 2.0, 3.0]


def test_from_numpy_accepts_subclasses():
    class Sub(np.ndarray):
        pass

    assert Array.from_numpy(np.arange(3.0).view(Sub)).tolist() == [0.0, 1.0, 2.0]


def test_fortran_order_is_read_in_row_major_order():
    x = np.asfortranarray(np.arange(24.0).reshape(2, 3, 4))
    assert not x.flags.c_contiguous
    a = Array.from_numpy(x)
    assert a.shape == [2, 3, 4] and a.to_numpy().tobytes() == np.ascontiguousarray(x).tobytes()
    t = np.arange(6.0).reshape(2, 3).T  # a transpose is Fortran-contiguous
    assert Array.from_numpy(t).tolist() == t.tolist()


@pytest.mark.parametrize("obj, message", [
    (np.float64(1.5), "'float64' object cannot be cast as 'ndarray'"),
    (np.arange(6), "'ndarray' object cannot be cast as 'ndarray'"),
    (np.arange(6, dtype=np.float32), "'ndarray' object cannot be cast as 'ndarray'"),
    (np.arange(3.0).astype(">f8"), "'ndarray' object cannot be cast as 'ndarray'"),
    ([1.0, 2.0], "'list' object cannot be cast as 'ndarray'"),
    (None, "'NoneType' object cannot be cast as 'ndarray'"),
    (Array([1], [1]), "'Array' object cannot be cast as 'ndarray'"),
    (np.arange(6.0)[::2], "The given array is not contiguous"),
    (np.arange(12.0).reshape(3, 4)[:, 1:3], "The given array is not contiguous"),
])
def test_from_numpy_refusals(obj, message):
    with pytest.raises(TypeError) as e:
        Array.from_numpy(obj)
    assert str(e.value) == message and e.value.__cause__ is None


SHAPES = st.lists(st.integers(0, 4), max_size=4)


@settings(max_examples=100, deadline=None)
@given(SHAPES, st.data())
def test_round_trip(shape, data):
    n = int(np.prod(shape))
    values = data.draw(st.lists(st.floats(width=64), min_size=n, max_size=n))
    a = Array(shape, values)
    b = Array.from_numpy(a.to_numpy())
    assert b.shape == a.shape
    assert b.to_numpy().tobytes() == np.array(values, dtype=np.float64).tobytes()


# Buffers of several MiB come from their own allocator (mapped blocks, freed ones reused): every
# way in and out must carry the values through, also when a block is handed out again.
@pytest.mark.parametrize("way", ["to_numpy", "pickle", "pickle5", "__array__", "copy", "list"])
def test_large_buffers_round_trip(way):
    import copy
    import pickle

    x = np.random.default_rng(5).uniform(-1.0, 1.0, (700, 1000))
    for _ in range(3):  # later rounds reuse the blocks freed by earlier ones
        a = Array.from_numpy(x)
        if way == "to_numpy":
            b = a.to_numpy()
        elif way == "pickle":
            b = pickle.loads(pickle.dumps(a)).to_numpy()
        elif way == "pickle5":
            frames = []
            data = pickle.dumps(a, protocol=5, buffer_callback=frames.append)
            b = pickle.loads(data, buffers=frames).to_numpy()
        elif way == "__array__":
            b = np.asarray(a)
        elif way == "copy":
            b = copy.deepcopy(a + 0.0).to_numpy()
        else:
            b = np.array(Array(list(a.shape), a.to_numpy().ravel().tolist()).to_numpy())
        del a
        assert b.tobytes() == x.tobytes()


def test_large_block_cache_is_bounded_and_released():
    arrays = [Array.from_numpy(np.full(600_000 + 300_000 * i, float(i))) for i in range(12)]
    del arrays
    blocks, held = veltrix._large_blocks()
    assert blocks <= 8 and held <= 128 << 20
    assert veltrix._release_large_blocks() == (blocks, held)
    assert veltrix._large_blocks() == (0, 0)


# ---------------------------------------------------------------------------------------------
# Without NumPy

def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_import_does_not_load_numpy():
    out = run_python("""
        import sys
        import veltrix
        a = veltrix.Array([2], [1, 2])
        print((a + a)[1], list(a), 'numpy' in sys.modules)
    """)
    assert out.split() == ["4.0", "[1.0,", "2.0]", "False"]


def test_without_numpy_the_exchange_is_an_internal_error():
    out = run_python("""
        import sys

        class HideNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("numpy is hidden")

        sys.meta_path.insert(0, HideNumpy())
        import veltrix
        a = veltrix.Array([2, 2], [1, 2, 3, 4])
        for call in (a.to_numpy, lambda: veltrix.Array.from_numpy([1.0]), a.to_numpy):
            try:
                call()
            except Exception:
                print("ordinary exception")
            except BaseException as e:
                print(type(e).__name__, isinstance(e, Exception), str(e).startswith(
                    "Failed to access NumPy array API capsule"))
        print((a * 2).tolist(), a[1, 1], a.sqrt().shape, a.sum())
    """)
    lines = out.splitlines()
    assert lines[:3] == ["PanicException False True"] * 3
    assert lines[3] == "[[2.0, 4.0], [6.0, 8.0]] 4.0 [2, 2] 10.0"
