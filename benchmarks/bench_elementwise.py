"""Element-wise arithmetic, transforms, indexing, iteration and NumPy exchange against NumPy:
ratio = veltrix time / NumPy time."""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import run_cases
except ImportError:  # imported as benchmarks.bench_elementwise
    from .timing import run_cases

from collections import deque

import numpy as np

import veltrix


def cases():
    rng = np.random.default_rng(1)
    n_small, n_large = 10, 1_000_000

    def pair(n):
        x = rng.uniform(0.5, 2.0, n)
        return veltrix.Array.from_numpy(x), x

    s, ns = pair(n_small)
    s2, ns2 = pair(n_small)
    a, na = pair(n_large)
    b, nb = pair(n_large)
    col = veltrix.Array.from_numpy(rng.uniform(size=(1000, 1)))
    ncol = col.to_numpy()
    row = veltrix.Array.from_numpy(rng.uniform(size=1000))
    nrow = row.to_numpy()
    m = veltrix.Array.from_numpy(rng.uniform(size=(100, 100)))
    nm = m.to_numpy()
    it, nit = pair(100_000)

    def reads(x):
        def run():
            for i in range(100):
                x[i, 7]
        return run

    return [
        ("a + b, 10 elements", lambda: s + s2, "ndarray +", lambda: ns + ns2),
        ("a + b, 1e6 elements", lambda: a + b, "ndarray +", lambda: na + nb),
        ("[1000, 1] + [1000] broadcast", lambda: col + row, "ndarray +", lambda: ncol + nrow),
        ("a * 2.0, 1e6", lambda: a * 2.0, "ndarray *", lambda: na * 2.0),
        ("2.0 - a, 1e6", lambda: 2.0 - a, "ndarray -", lambda: 2.0 - na),
        ("-a, 1e6", lambda: -a, "ndarray neg", lambda: -na),
        ("a.exp(), 1e6", a.exp, "np.exp", lambda: np.exp(na)),
        ("a.sqrt(), 1e6", a.sqrt, "np.sqrt", lambda: np.sqrt(na)),
        ("a[i, j] scalar reads x100", reads(m), "ndarray[i, j]", reads(nm)),
        # deque(x, maxlen=0) drains an iterator at C speed, so this times the iterator itself.
        ("iterate 1e5 elements", lambda: deque(it, maxlen=0), "iter(ndarray)", lambda: deque(nit, maxlen=0)),
        ("to_numpy, 1e6", a.to_numpy, "ndarray.copy", na.copy),
        ("from_numpy, 1e6", lambda: veltrix.Array.from_numpy(na), "np.array(copy)", lambda: np.array(na)),
    ]


if __name__ == "__main__":
    run_cases(cases())
