"""Shared test utilities."""

import contextlib
import math
import struct

import numpy as np
import pytest

import veltrix


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


# ---------------------------------------------------------------------------------------------
# Spatial trees

sp = veltrix.spatial
METRICS = ["euclidean", "manhattan", "chebyshev"]
# (class, extra from_array keywords): the random vantage selection is a tree of its own.
VARIANTS = [
    pytest.param(sp.KDTree, {}, id="kd"),
    pytest.param(sp.BallTree, {}, id="ball"),
    pytest.param(sp.VPTree, {}, id="vp-first"),
    pytest.param(sp.VPTree, {"selection": "random"}, id="vp-random"),
]
CLASSES = [pytest.param(c, id=c.__name__) for c in (sp.KDTree, sp.BallTree, sp.VPTree)]


def c_log(xs):
    """The C library's log of each element: NumPy's own vectorised log differs from it on some
    inputs on CPUs with AVX-512."""
    return np.array([math.log(v) for v in np.asarray(xs, dtype=float).tolist()])


def array(rows, dim=None):
    rows = [list(map(float, r)) for r in rows]
    dim = len(rows[0]) if dim is None else dim
    return veltrix.Array([len(rows), dim], [x for r in rows for x in r])


def distances(metric, q, pts):
    """Distances with the library's accumulation order: sequential over components."""
    pts = np.asarray(pts, dtype=float)
    acc = np.zeros(len(pts))
    for j in range(pts.shape[1] if pts.ndim == 2 else 0):
        t = q[j] - pts[:, j]
        if metric == "euclidean":
            acc = t * t + acc
        elif metric == "manhattan":
            acc = acc + np.abs(t)
        else:
            acc = np.fmax(acc, np.abs(t))  # a NaN component (inf - inf) is skipped
    return np.sqrt(acc) if metric == "euclidean" else acc
