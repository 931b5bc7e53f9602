"""Module frame: registration, classes, argument errors, internal errors."""

import importlib.metadata
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import veltrix
from helpers import assertion_text, panics

TOP = ["Array", "PyArrayIter", "Generator", "BallTree", "KDTree", "zeros", "ones", "full",
       "asarray", "eye", "diag", "column_stack", "linalg", "stats", "random", "spatial"]


def test_registration_order():
    assert veltrix.__all__ == TOP
    for name in TOP:
        assert hasattr(veltrix, name)
    assert not hasattr(veltrix, "VPTree")


def test_version_is_the_package_version():
    try:
        want = importlib.metadata.version("veltrix")
    except importlib.metadata.PackageNotFoundError:  # a build tree on the path, not installed
        pyproject = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
        want = re.search(r'^version = "([^"]+)"', pyproject.read_text(), re.M).group(1)
    assert veltrix.__version__ == want
    assert "__version__" not in veltrix.__all__


@pytest.mark.parametrize("name", ["linalg", "stats", "random", "spatial"])
def test_submodules_are_attributes_only(name):
    sub = getattr(veltrix, name)
    assert sub.__name__ == name
    assert f"veltrix.{name}" not in sys.modules
    with pytest.raises(ImportError):
        __import__(f"veltrix.{name}")


def test_shared_class_objects():
    assert veltrix.random.Generator is veltrix.Generator
    assert veltrix.spatial.KDTree is veltrix.KDTree
    assert veltrix.spatial.BallTree is veltrix.BallTree
    assert veltrix.random.__all__[0] == "Generator"
    assert veltrix.spatial.__all__ == ["BallTree", "KDTree", "VPTree"]


CLASSES = [veltrix.Array, veltrix.PyArrayIter, veltrix.Generator, veltrix.KDTree,
           veltrix.BallTree, veltrix.spatial.VPTree]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [veltrix.PyArrayIter, veltrix.KDTree, veltrix.BallTree,
                                 veltrix.spatial.VPTree], ids=lambda c: c.__name__)
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"cannot create 'builtins.{cls.__name__}' instances"


def test_instances_have_no_dict_or_weakref():
    import weakref
    a = veltrix.zeros([2])
    with pytest.raises(AttributeError):
        a.foo = 1
    assert not hasattr(a, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(a)


def test_text_signatures():
    assert veltrix.Array.__text_signature__ == "(shape, data)"
    assert veltrix.eye.__text_signature__ == "(n, m=None, k=None)"
    assert veltrix.Array.tolist.__text_signature__ == "($self)"
    assert veltrix.Array.to_pylist_recursive.__text_signature__ == "($self, dim, offset)"
    assert veltrix.zeros.__module__ == "veltrix"
    assert veltrix.zeros.__doc__ is None


def test_second_import_returns_same_module():
    mod = veltrix
    del sys.modules["veltrix"]
    try:
        import veltrix as again
        assert again is mod
    finally:
        sys.modules["veltrix"] = mod


@pytest.mark.parametrize("call, message", [
    (lambda: veltrix.zeros(), "zeros() missing 1 required positional argument: 'shape'"),
    (lambda: veltrix.full(), "full() missing 2 required positional arguments: 'shape' and 'fill_value'"),
    (lambda: veltrix.full([1], 1, 2), "full() takes 2 positional arguments but 3 were given"),
    (lambda: veltrix.eye(1, 2, 3, 4), "eye() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: veltrix.zeros([1], bad=1), "zeros() got an unexpected keyword argument 'bad'"),
    (lambda: veltrix.full([1], 2, shape=[1]), "full() got multiple values for argument 'shape'"),
    (lambda: veltrix.Array.zeros(), "Array.zeros() missing 1 required positional argument: 'shape'"),
    (lambda: veltrix.Array([1]), "Array.__new__() missing 1 required positional argument: 'data'"),
    (lambda: veltrix.zeros([1]).to_pylist_recursive(0),
     "Array.to_pylist_recursive() missing 1 required positional argument: 'offset'"),
])
def test_argument_list_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_missing_three_names_use_serial_comma():
    # Any three-parameter function with all required; the generator's samplers qualify.
    g = veltrix.random.seed(0)
    with pytest.raises(TypeError) as e:
        g.uniform()
    assert str(e.value) == ("Generator.uniform() missing 3 required positional arguments: "
                            "'low', 'high', and 'shape'")


def test_conversion_error_names_parameter_and_keeps_cause():
    with pytest.raises(TypeError) as e:
        veltrix.zeros(-1)
    assert str(e.value) == "argument 'shape': 'int' object cannot be cast as 'Sequence'"
    assert isinstance(e.value.__cause__, TypeError)
    assert str(e.value.__cause__) == "'int' object cannot be cast as 'Sequence'"


def test_overflow_passes_through():
    with pytest.raises(OverflowError):
        veltrix.zeros([-1])
    with pytest.raises(OverflowError):
        veltrix.zeros([2 ** 64])


def test_internal_error_is_base_exception_and_module_stays_usable(capfd):
    with panics(assertion_text("All arrays must have the same number of rows", 3, 2)):
        veltrix.column_stack([veltrix.asarray([1, 2]), veltrix.asarray([1, 2, 3])])
    err = capfd.readouterr().err
    assert "internal error" in err and err.count("\n") == 1
    try:
        veltrix.column_stack([veltrix.zeros([1, 1, 1])])
    except Exception:  # pragma: no cover - must not be caught here
        pytest.fail("internal error caught as Exception")
    except BaseException as e:
        assert str(e) == "column_stack only supports 1D and 2D arrays"
        assert not hasattr(veltrix, type(e).__name__)
    assert veltrix.zeros([2]).tolist() == [0.0, 0.0]


def test_panic_type_created_once():
    types = set()
    for _ in range(3):
        try:
            veltrix.column_stack([veltrix.zeros([])])
        except BaseException as e:
            types.add(type(e))
    assert len(types) == 1
    (t,) = types
    assert t.__module__ == "pyo3_runtime" and t.__bases__ == (BaseException,)


def test_subinterpreter_refused():
    code = textwrap.dedent("""
        import veltrix
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(0)
        iid = interpreters.create()
        try:
            interpreters.run_string(iid, "import veltrix")
        except Exception as e:
            assert "sub-interpreter" in str(e), e
            print("refused")
        else:
            raise SystemExit("sub-interpreter import succeeded")
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
