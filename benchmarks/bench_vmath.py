"""exp and log over arrays and the log-normal sampler against NumPy: ratio = veltrix time / NumPy
time. Run as a script it also prints which path veltrix uses and the fraction of NumPy's results
that differ from the C library's (whose bits veltrix gives) on the same inputs.

    PYTHONPATH=build/dev python3 benchmarks/bench_vmath.py
"""

import os

# NumPy's BLAS must not be steered by settings meant for other benchmarks.
for _var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
    os.environ.pop(_var, None)

import ctypes  # noqa: E402
import ctypes.util  # noqa: E402

import numpy as np  # noqa: E402

import veltrix  # noqa: E402

try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_vmath
    from .timing import run_cases

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


if __name__ == "__main__":
    print(f"# veltrix exp/log path: {veltrix._vmath_path}; numpy {np.__version__}")
    run_cases(cases())
    numpy_differences()
