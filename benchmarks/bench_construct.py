"""Array construction and output against NumPy: ratio = veltrix time / NumPy time."""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_construct
    from .timing import run_cases

import numpy as np

import veltrix


def cases():
    small = [float(i) for i in range(10)]
    large = [float(i) * 0.5 for i in range(10_000)]
    a1000 = veltrix.asarray([i / 7 for i in range(1000)])
    n1000 = np.array([i / 7 for i in range(1000)])
    m = veltrix.asarray([i / 3 for i in range(10_000)], [100, 100])
    nm = np.array([i / 3 for i in range(10_000)]).reshape(100, 100)
    return [
        ("asarray(list of 10)", lambda: veltrix.asarray(small), "np.array", lambda: np.array(small)),
        ("asarray(list of 10000)", lambda: veltrix.asarray(large), "np.array", lambda: np.array(large)),
        ("Array([10000], list)", lambda: veltrix.Array([10_000], large), "np.array", lambda: np.array(large)),
        ("repr 1000 elements", lambda: repr(a1000), "repr", lambda: repr(n1000)),
        ("tolist 100x100", m.tolist, "ndarray.tolist", nm.tolist),
        ("shape", lambda: m.shape, "ndarray.shape", lambda: nm.shape),
    ]


if __name__ == "__main__":
    run_cases(cases())
