"""Shared test utilities."""

import contextlib
import struct

import pytest


@contextlib.contextmanager
def panics(message=None):
    """Expects the module's internal-error exception, optionally with an exact message."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", f"expected the internal error, got {exc!r}"
    assert not isinstance(exc, Exception)
    if message is not None:
        assert str(exc) == message


def assertion_text(message, left, right):
    return f"assertion `left == right` failed: {message}\n  left: {left}\n right: {right}"


def bits(x):
    return struct.pack("<d", x)


def same_bits(xs, ys):
    xs, ys = list(xs), list(ys)
    return len(xs) == len(ys) and all(bits(a) == bits(b) for a, b in zip(xs, ys))
