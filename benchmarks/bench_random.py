"""Random sampling against numpy.random.Generator (default bit generator):
ratio = veltrix time / NumPy time."""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_random
    from .timing import run_cases

import numpy as np

import veltrix


N = 1_000_000


def cases():
    g = veltrix.random.seed(12345)
    r = np.random.default_rng(12345)
    shape = [N]

    def small_calls_ours():
        for _ in range(10_000):
            g.uniform(0.0, 1.0, [10])

    def small_calls_numpy():
        for _ in range(10_000):
            r.uniform(0.0, 1.0, 10)

    return [
        ("uniform 1e6", lambda: g.uniform(0.0, 1.0, shape), "Generator.uniform", lambda: r.uniform(0.0, 1.0, N)),
        ("randint [0, 100) 1e6", lambda: g.randint(0, 100, shape), "Generator.integers",
         lambda: r.integers(0, 100, N)),
        ("randint [-2^62, 2^62) 1e6", lambda: g.randint(-(2**62), 2**62, shape), "Generator.integers",
         lambda: r.integers(-(2**62), 2**62, N)),
        ("standard_normal 1e6", lambda: g.standard_normal(shape), "Generator.standard_normal",
         lambda: r.standard_normal(N)),
        ("normal(1, 2) 1e6", lambda: g.normal(1.0, 2.0, shape), "Generator.normal", lambda: r.normal(1.0, 2.0, N)),
        ("lognormal(0, 1) 1e6", lambda: g.lognormal(0.0, 1.0, shape), "Generator.lognormal",
         lambda: r.lognormal(0.0, 1.0, N)),
        ("gamma(2.5) 1e6", lambda: g.gamma(2.5, 1.0, shape), "Generator.gamma", lambda: r.gamma(2.5, 1.0, N)),
        ("gamma(0.5) 1e6", lambda: g.gamma(0.5, 1.0, shape), "Generator.gamma", lambda: r.gamma(0.5, 1.0, N)),
        ("beta(2, 3) 1e6", lambda: g.beta(2.0, 3.0, shape), "Generator.beta", lambda: r.beta(2.0, 3.0, N)),
        ("10000 calls of uniform(10)", small_calls_ours, "Generator.uniform", small_calls_numpy),
    ]


if __name__ == "__main__":
    run_cases(cases())
