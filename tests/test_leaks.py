"""Entry points called many times, on success and failure paths, keep memory flat and leave the
reference counts of their arguments unchanged."""

import gc
import os
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import veltrix
from veltrix import linalg, random as vrandom, spatial, stats

SANITIZED = os.environ.get("VELTRIX_SANITIZED") == "1"
N = 2000
SLOW = {"tree queries", "tree build", "qr/eig/cholesky", "random"}
A = veltrix.Array([40, 25], [i * 0.25 for i in range(1000)])
V = veltrix.asarray([float(i % 17) for i in range(1000)])
SQ = veltrix.Array([8, 8], [((i * 7) % 11) + (8.0 if i % 9 == 0 else 0.0) for i in range(64)])
SPD = SQ @ SQ.t() + veltrix.eye(8)
PTS = veltrix.Array([300, 3], [((i * 37) % 101) / 10 for i in range(900)])
KD = spatial.KDTree.from_array(PTS, 10)
BALL = spatial.BallTree.from_array(PTS, 10)
VP = spatial.VPTree.from_array(PTS, 10, "euclidean", "random")
GEN = vrandom.seed(3)
NP = np.arange(1000.0).reshape(40, 25)
Q = [1.0, 2.0, 3.0]
BAD_SHAPE = veltrix.zeros([3])
SHAPE = [1000]


def _setitem():
    A[1, 2] = 7.0


CASES = {
    "Array(shape, data)": (lambda: veltrix.Array(SHAPE, list(range(1000))), ()),
    "Array mismatch": (lambda: veltrix.Array([2, 3], [1.0]), ()),
    "asarray combined error": (lambda: veltrix.asarray("ab"), ()),
    "zeros bad shape": (lambda: veltrix.zeros(-1), ()),
    "repr/tolist": (lambda: (repr(A), A.tolist()), (A,)),
    "add broadcast": (lambda: A + V[0:25], (A, V)),
    "add panic": (lambda: A + BAD_SHAPE, (A, BAD_SHAPE)),
    "add NotImplemented": (lambda: A + "x", (A,)),
    "scalar ops": (lambda: 2.0 - A * 3 / 2, (A,)),
    "exp/clip": (lambda: A.exp().clip(0.0, 1.0), (A,)),
    "getitem": (lambda: (A[3], A[1, 2], A[0:10], A[-1]), (A,)),
    "getitem error": (lambda: A[99], (A,)),
    "setitem": (_setitem, (A,)),
    "iter": (lambda: sum(iter(V)), (V,)),
    "to_numpy/from_numpy": (lambda: veltrix.Array.from_numpy(A.to_numpy()), (A,)),
    "from_numpy error": (lambda: veltrix.Array.from_numpy(NP[:, ::2]), (NP,)),
    "matmul": (lambda: A.t() @ A, (A,)),
    "matmul panic": (lambda: linalg.matmul(A, A), (A,)),
    "qr/eig/cholesky": (lambda: (linalg.qr(SQ), linalg.eig_with_params(SPD, 20, 1e-10),
                                 linalg.cholesky(SPD)), (SQ, SPD)),
    "cholesky failure": (lambda: linalg.cholesky(-SPD), (SPD,)),
    "stats": (lambda: (stats.median(V), stats.quantile(V, V.clip(0, 1)), stats.spearman(V, V),
                       V.var()), (V,)),
    "quantile panic": (lambda: stats.quantile(V, 2.0), (V,)),
    "random": (lambda: (GEN.uniform(0, 1, SHAPE), GEN.gamma(0.5, 1, SHAPE), GEN.beta(2, 3, SHAPE)),
               (GEN, SHAPE)),
    "random panic": (lambda: GEN.gamma(-1.0, 1.0, SHAPE), (GEN, SHAPE)),
    "tree build": (lambda: spatial.BallTree.from_array(PTS, 5, "manhattan"), (PTS,)),
    "tree queries": (lambda: [(t.query_knn(Q, 5), t.query_radius(Q, 2.0),
                               t.kernel_density(PTS, 0.5, "epanechnikov"),
                               t.kernel_density_approx(PTS, 1.0, "gaussian", "combined", 20, 1.0))
                              for t in (KD, BALL, VP)], (Q, PTS)),
    "tree errors": (lambda: [(t.query_knn("ab", 1), t.kernel_density_approx(None, 1.0, "nope"))
                             for t in (KD, BALL, VP)], ()),
}


def run(fn):
    try:
        fn()
    except Exception:
        pass
    except BaseException as e:
        assert type(e).__name__ == "PanicException"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@pytest.mark.parametrize("name", list(CASES))
def test_memory_and_refcounts_stay_flat(name, capfd):
    fn, args = CASES[name]
    for _ in range(100):
        run(fn)
    gc.collect()
    counts = [sys.getrefcount(a) for a in args]
    calls = N // 10 if name in SLOW else N
    tracemalloc.start()
    # A first round fills bounded caches (the interpreter's and the allocator's); only growth
    # in the second, equal round counts.
    for _ in range(calls):
        run(fn)
    gc.collect()
    rss0 = rss_bytes()
    snap0 = tracemalloc.take_snapshot()
    for _ in range(calls):
        run(fn)
    gc.collect()
    snap1 = tracemalloc.take_snapshot()
    rss1 = rss_bytes()
    tracemalloc.stop()
    capfd.readouterr()
    py_growth = sum(s.size_diff for s in snap1.compare_to(snap0, "filename"))
    assert py_growth < 16 * 1024, f"Python-object memory grew by {py_growth} bytes"
    if not SANITIZED:  # AddressSanitizer quarantines freed memory, so RSS grows by design there
        assert rss1 - rss0 < 4 * 1024 * 1024, f"RSS grew by {rss1 - rss0} bytes"
    assert [sys.getrefcount(a) for a in args] == counts
