"""The binding frame: every entry point's text signature comes from its declaration table,
and a borrow stays visible to other threads while a call runs without the interpreter lock."""

import inspect
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import veltrix


def entry_points():
    """(table key, callable) for every signed callable reachable from the module."""
    seen = {}

    def visit(key, obj):
        if getattr(obj, "__text_signature__", None) is not None:
            seen[key] = obj

    def visit_class(cls):
        visit(cls.__name__, cls)
        for attr, raw in vars(cls).items():
            # Dunders count only when declared as methods, not the interpreter's slot wrappers.
            if not attr.startswith("__") or type(raw).__name__ == "method_descriptor":
                visit(f"{cls.__name__}.{attr}", getattr(cls, attr))

    for name in dir(veltrix):
        obj = getattr(veltrix, name)
        if isinstance(obj, type):
            visit_class(obj)
        elif inspect.ismodule(obj):
            for sub in dir(obj):
                member = getattr(obj, sub)
                visit_class(member) if isinstance(member, type) else visit(sub, member)
        else:
            visit(name, obj)
    return seen


ENTRY_POINTS = entry_points()


def test_every_entry_point_is_declared_once():
    assert set(ENTRY_POINTS) == set(veltrix._signatures)


@pytest.mark.parametrize("key", sorted(ENTRY_POINTS))
def test_text_signature_comes_from_the_table(key):
    has_self, params = veltrix._signatures[key]
    names = ["$self"] * has_self
    for i, (n, d, kw_only) in enumerate(params):
        if kw_only and (i == 0 or not params[i - 1][2]):
            names.append("*")
        names.append(n if d is None else f"{n}={d}")
    assert ENTRY_POINTS[key].__text_signature__ == f"({', '.join(names)})"
    # Required parameters come first, keyword-only ones last: the parser counts on both.
    assert [kw for _, _, kw in params] == sorted(kw for _, _, kw in params)
    required = [d is None for _, d, _ in params]
    assert required == sorted(required, reverse=True)


def test_exclusive_borrow_fails_while_a_call_without_the_lock_reads():
    a = veltrix.zeros([3])
    holder = threading.Thread(target=veltrix._hold_shared_borrow, args=(a, 1.0))
    holder.start()
    refused = None
    deadline = time.monotonic() + 0.8
    while refused is None and time.monotonic() < deadline:
        try:
            a[0] = 1.0  # succeeds until the other thread holds its borrow
        except RuntimeError as e:
            refused = e
    assert str(refused) == "Already borrowed"
    assert a.sum() == a[0]  # shared reads go on meanwhile
    holder.join()
    a[0] = 2.0
    assert a.tolist() == [2.0, 0.0, 0.0]


def test_internal_error_report_names_the_source_relative_to_the_tree():
    code = textwrap.dedent("""
        import veltrix
        try:
            veltrix.zeros([2]) + veltrix.zeros([3])
        except BaseException:
            pass
    """)
    err = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stderr
    location = err.split(" at ", 1)[1].split(":", 1)[0]
    assert location.startswith("src/") and location.endswith((".hpp", ".cpp"))
