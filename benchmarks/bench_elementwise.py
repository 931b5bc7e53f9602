"""Element-wise arithmetic, transforms, indexing, iteration and NumPy exchange against NumPy:
ratio = veltrix time / NumPy time."""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import best_cpu_time, fmt, run_cases
except ImportError:  # imported as benchmarks.bench_elementwise
    from .timing import best_cpu_time, fmt, run_cases

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


def cpu_ratios(cases, rounds=15, out=print):
    """Per case, the fastest sample of ours and of the peer on the thread's CPU clock, the two
    timed in turn for `rounds` rounds so that both meet the same moments of a shared machine
    (whose memory traffic moves a median of wall-clock times by tens of percent)."""
    out(f"{'case':48s} {'veltrix':>12s} {'peer':>12s} {'ratio':>8s}  (CPU-clock minima)")
    for name, ours, _peer_name, peer, *_work in cases:
        t_ours = t_peer = float("inf")
        for _ in range(rounds):
            t_ours = min(t_ours, best_cpu_time(ours, samples=5))
            t_peer = min(t_peer, best_cpu_time(peer, samples=5))
        out(f"{name:48s} {fmt(t_ours):>12s} {fmt(t_peer):>12s} {t_ours / t_peer:8.2f}")


if __name__ == "__main__":
    import argparse

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cpu", action="store_true",
                    help="ratios of CPU-clock minima, ours and NumPy's timed in turn")
    ap.add_argument("--only", nargs="*", help="cases whose name starts with one of these")
    args = ap.parse_args()
    selected = [c for c in cases() if not args.only or c[0].startswith(tuple(args.only))]
    if args.cpu:
        cpu_ratios(selected)
    else:
        run_cases(selected)
