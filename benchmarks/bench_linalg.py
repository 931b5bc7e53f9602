"""Linear algebra against NumPy: ratio = veltrix time / NumPy time.

NumPy runs twice per case: limited to one BLAS thread (the fair comparison, veltrix is
single-threaded) and with its default thread count. NumPy's BLAS may use FMA and any
summation order; veltrix keeps every sum in ascending order without FMA.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import median_time, run_cases
except ImportError:  # imported as benchmarks.bench_linalg
    from .timing import median_time, run_cases

import numpy as np
from threadpoolctl import threadpool_limits

import veltrix


la = veltrix.linalg
RNG = np.random.default_rng(12345)


def to_array(x):
    return veltrix.Array(list(x.shape), x.ravel().tolist())


_limit = None  # the active one-thread limit, switched only when a case changes mode


def _threads(one):
    global _limit
    if one and _limit is None:
        _limit = threadpool_limits(limits=1)
    elif not one and _limit is not None:
        _limit.restore_original_limits()
        _limit = None


def one_thread(fn):
    def run():
        _threads(True)
        return fn()
    return run


def default_threads(fn):
    def run():
        _threads(False)
        return fn()
    return run


def symmetric(n):
    b = RNG.normal(size=(n, n))
    return b + b.T


def spd(n):
    b = RNG.normal(size=(n, n))
    return b @ b.T + n * np.eye(n)


def paired(name, ours, peer_name, peer, work=None):
    """The case against the peer on one BLAS thread and on its default threads. `work` ({"flops":
    n} or {"bytes": n}) lets run.py print veltrix's rate as a share of the machine's bound."""
    extra = (work,) if work else ()
    return [
        (name, ours, f"{peer_name} (1 thread)", one_thread(peer)) + extra,
        (name, ours, f"{peer_name} (default threads)", default_threads(peer)) + extra,
    ]


def cases():
    out = []
    for n in (64, 256, 384, 512, 1024, 2048):
        a, b = RNG.normal(size=(n, n)), RNG.normal(size=(n, n))
        va, vb = to_array(a), to_array(b)
        out += paired(f"matmul {n}x{n}", lambda va=va, vb=vb: la.matmul(va, vb),
                      "np.matmul", lambda a=a, b=b: np.matmul(a, b), {"flops": 2.0 * n ** 3})
    m, x = RNG.normal(size=(2048, 2048)), RNG.normal(size=2048)
    vm, vx = to_array(m), to_array(x)
    out += paired("matmul 2048x2048 . vector", lambda: la.matmul(vm, vx), "np.matmul",
                  lambda: np.matmul(m, x))
    # Bound by reading the matrix once from memory: at 4096² it is four times the last-level
    # cache, as is the probe's read it is set against (at 2048² how much of the matrix stays
    # cached between calls depends on the cache's other tenants).
    m4, x4 = RNG.normal(size=(4096, 4096)), RNG.normal(size=4096)
    vm4, vx4 = veltrix.Array.from_numpy(m4), veltrix.Array.from_numpy(x4)
    out += paired("matmul 4096x4096 . vector", lambda: la.matmul(vm4, vx4), "np.matmul",
                  lambda: np.matmul(m4, x4), {"bytes": 8.0 * m4.size})
    p = spd(256)
    vp = to_array(p)
    out += paired("cholesky 256x256", lambda: la.cholesky(vp), "np.linalg.cholesky",
                  lambda: np.linalg.cholesky(p))
    g = RNG.normal(size=(256, 256))
    vg = to_array(g)
    out += paired("qr 256x256 (complete Q)", lambda: la.qr(vg), "np.linalg.qr",
                  lambda: np.linalg.qr(g, mode="complete"))
    for n in (64, 200):
        s = symmetric(n)
        vs = to_array(s)
        out += paired(f"eig {n}x{n} symmetric", lambda vs=vs: la.eig(vs), "np.linalg.eigh",
                      lambda s=s: np.linalg.eigh(s))
    return out


def matmul_gflops(n=512):
    a = to_array(RNG.normal(size=(n, n)))
    b = to_array(RNG.normal(size=(n, n)))
    seconds = median_time(lambda: la.matmul(a, b))
    return 2.0 * n ** 3 / seconds * 1e-9


if __name__ == "__main__":
    run_cases(cases())
    print(f"matmul 512x512: {matmul_gflops():.1f} GFLOP/s (separate multiply and add, one thread)")
