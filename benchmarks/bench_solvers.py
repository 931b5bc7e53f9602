"""Reproducible solvers against single-threaded NumPy: ratio = veltrix time / peer time.

NumPy's LAPACK runs with one thread (veltrix is single-threaded) and without the OpenBLAS
core-type and cache-size overrides, so that it picks its own kernels for this CPU. The last
rows time today's unshifted-QR `eig` against `eigh` on the same symmetric matrices.

    python benchmarks/bench_solvers.py [--eigh-cpu]

--eigh-cpu times only eigh and eigvalsh (200², 500², 1000²), each by its fastest thread CPU time
(best of 15), for a shared machine whose wall-clock medians measure the other processes too.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import best_cpu_time, run_cases
except ImportError:  # imported as benchmarks.bench_solvers
    from .timing import best_cpu_time, run_cases

import sys

import numpy as np
from threadpoolctl import threadpool_limits

import veltrix


la = veltrix.linalg
RNG = np.random.default_rng(19)


def to_array(x):
    return veltrix.Array(list(x.shape), x.ravel().tolist())


def one_thread(fn):
    def run():
        with threadpool_limits(limits=1):
            return fn()
    return run


def symmetric(n):
    b = RNG.normal(size=(n, n))
    return b + b.T


def cases():
    out = []
    sym = {n: symmetric(n) for n in (64, 200, 500, 1000)}
    vsym = {n: to_array(s) for n, s in sym.items()}
    for n in (200, 500, 1000):
        s, vs = sym[n], vsym[n]
        out.append((f"eigh {n}x{n}", lambda vs=vs: la.eigh(vs), "np.linalg.eigh (1 thread)",
                    one_thread(lambda s=s: np.linalg.eigh(s))))
    out.append(("eigvalsh 500x500", lambda: la.eigvalsh(vsym[500]), "np.linalg.eigvalsh (1 thread)",
                one_thread(lambda: np.linalg.eigvalsh(sym[500]))))
    a = RNG.normal(size=(500, 500))
    b1, b500 = RNG.normal(size=500), RNG.normal(size=(500, 500))
    va, vb1, vb500 = to_array(a), to_array(b1), to_array(b500)
    out.append(("solve 500x500, 1 rhs", lambda: la.solve(va, vb1), "np.linalg.solve (1 thread)",
                one_thread(lambda: np.linalg.solve(a, b1))))
    out.append(("solve 500x500, 500 rhs", lambda: la.solve(va, vb500), "np.linalg.solve (1 thread)",
                one_thread(lambda: np.linalg.solve(a, b500))))
    out.append(("inv 500x500", lambda: la.inv(va), "np.linalg.inv (1 thread)",
                one_thread(lambda: np.linalg.inv(a))))
    # Scaled so that the determinant stays finite.
    d = a / np.sqrt(500)
    vd = to_array(d)
    out.append(("det 500x500", lambda: la.det(vd), "np.linalg.det (1 thread)",
                one_thread(lambda: np.linalg.det(d))))
    t, y = RNG.normal(size=(1000, 200)), RNG.normal(size=1000)
    vt, vy = to_array(t), to_array(y)
    out.append(("lstsq 1000x200 (QR)", lambda: la.lstsq(vt, vy), "np.linalg.lstsq (SVD, 1 thread)",
                one_thread(lambda: np.linalg.lstsq(t, y, rcond=None))))
    # Tall problems: the blocked QR's products carry most of the work.
    for m, n in ((20000, 200), (2000, 500)):
        t, y = RNG.normal(size=(m, n)), RNG.normal(size=m)
        vt, vy = veltrix.Array.from_numpy(t), veltrix.Array.from_numpy(y)
        out.append((f"lstsq {m}x{n} (QR)", lambda vt=vt, vy=vy: la.lstsq(vt, vy),
                    "np.linalg.lstsq (SVD, 1 thread)",
                    one_thread(lambda t=t, y=y: np.linalg.lstsq(t, y, rcond=None))))
    for n in (64, 200):
        vs = vsym[n]
        out.append((f"eig {n}x{n} (unshifted QR)", lambda vs=vs: la.eig(vs), "veltrix eigh",
                    lambda vs=vs: la.eigh(vs)))
    return out


def eigh_cpu():
    print(f"{'case':24s} {'veltrix':>10s} {'peer':>10s} {'ratio':>6s}  peer (thread CPU time, best of 15)")
    for n in (200, 500, 1000):
        s = symmetric(n)
        vs = veltrix.Array.from_numpy(s)
        for name, ours, peer in (("eigh", la.eigh, np.linalg.eigh), ("eigvalsh", la.eigvalsh, np.linalg.eigvalsh)):
            a = best_cpu_time(lambda: ours(vs))
            b = best_cpu_time(one_thread(lambda: peer(s)))
            print(f"{f'{name} {n}x{n}':24s} {a * 1e3:7.2f} ms {b * 1e3:7.2f} ms {a / b:6.2f}  np.linalg.{name} (1 thread)",
                  flush=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--eigh-cpu"]:
        eigh_cpu()
    else:
        run_cases(cases(), repeat=5)
