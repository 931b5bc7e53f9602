"""exp and log over arrays and the log-normal sampler against NumPy: ratio = veltrix time / NumPy
time. Run as a script it also prints which path veltrix uses and the fraction of NumPy's results
that differ from the C library's (whose bits veltrix gives) on the same inputs.

    PYTHONPATH=build/dev python3 benchmarks/bench_vmath.py [--cpu] [--kde]

--kde adds the exact gaussian kernel_density cases of bench_spatial (veltrix alone, to compare
builds). --cpu times by processor time (best of 15) instead of wall-clock medians, for a machine whose
other load makes wall-clock figures meaningless.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_vmath
    from .timing import run_cases

import ctypes
import ctypes.util
import sys
import time

import numpy as np

import veltrix


N = 1_000_000


def inputs():
    rng = np.random.default_rng(5)
    positive_bits = rng.integers(1, 0x7FF0_0000_0000_0000, N, dtype=np.uint64).view(np.float64)
    return {
        "exp [-10, 10]": ("exp", rng.uniform(-10.0, 10.0, N)),
        "exp whole domain [-745, 709.78]": ("exp", rng.uniform(-745.2, 709.78, N)),
        "log (0, 1000]": ("log", 1000.0 - rng.uniform(0.0, 1000.0, N)),
        "log whole domain (positive doubles)": ("log", positive_bits),
    }


def cases():
    out = []
    for name, (f, x) in inputs().items():
        a = veltrix.Array.from_numpy(x)
        out.append((f"a.{f}() {name}, 1e6", getattr(a, f), f"np.{f}", lambda f=f, x=x: getattr(np, f)(x)))
    g = veltrix.random.seed(1)
    ng = np.random.default_rng(1)
    out.append(("lognormal(0, 1), 1e6", lambda: g.lognormal(0.0, 1.0, [N]),
                "Generator.lognormal", lambda: ng.lognormal(0.0, 1.0, N)))
    out.append(("normal(0, 1), 1e6", lambda: g.normal(0.0, 1.0, [N]),
                "Generator.normal", lambda: ng.normal(0.0, 1.0, N)))
    out.append(("gamma(2.5, 1), 1e6", lambda: g.gamma(2.5, 1.0, [N]),
                "Generator.gamma", lambda: ng.gamma(2.5, 1.0, N)))
    return out


def numpy_differences():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    for f in ("exp", "log"):
        getattr(libm, f).restype, getattr(libm, f).argtypes = ctypes.c_double, [ctypes.c_double]
    for name, (f, x) in inputs().items():
        sample = x[:200_000]
        c = np.array([getattr(libm, f)(v) for v in sample.tolist()])
        ours = getattr(veltrix.Array.from_numpy(sample), f)().to_numpy()
        theirs = getattr(np, f)(sample)
        print(f"{name:40s} NumPy differs from the C library on {np.mean(theirs != c):.4%} "
              f"(veltrix: {np.mean(ours.view(np.uint64) != c.view(np.uint64)):.4%}) of 2e5 inputs")


def cpu_time(fn, repeat=15):
    fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


def kde_cases():
    try:
        import bench_spatial as bs
    except ImportError:
        from . import bench_spatial as bs
    out = []
    for dim in (2, 8):
        _, _, a, qa = bs._kde_setup(dim)
        for cls in (bs.SP.KDTree, bs.SP.BallTree, bs.SP.VPTree):
            t = cls.from_array(a, bs.LEAF)
            for h in (0.1, 1.0):
                out.append((f"{cls.__name__} kernel_density gaussian h={h} d={dim}",
                            lambda t=t, qa=qa, h=h: t.kernel_density(qa, h, "gaussian"), None, None))
    return out


if __name__ == "__main__":
    print(f"# veltrix exp/log path: {veltrix._vmath_path}; numpy {np.__version__}")
    if "--cpu" in sys.argv:
        print(f"{'case':52s} {'veltrix':>9s} {'peer':>9s} {'ratio':>6s}  peer (processor time, best of 15)")
        for name, ours, peer_name, peer in cases() + (kde_cases() if "--kde" in sys.argv else []):
            a = cpu_time(ours)
            if peer is None:
                print(f"{name:52s} {a * 1e3:6.2f} ms", flush=True)
                continue
            b = cpu_time(peer)
            print(f"{name:52s} {a * 1e3:6.2f} ms {b * 1e3:6.2f} ms {a / b:6.2f}  {peer_name}", flush=True)
    else:
        run_cases(cases() + (kde_cases() if "--kde" in sys.argv else []))
    numpy_differences()
