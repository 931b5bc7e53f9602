"""Shared timing for the side-by-side benchmarks: medians of repeated runs.

Importing this module first also removes the OpenBLAS overrides that a machine's environment
may set (they pin NumPy's BLAS to an older kernel and a smaller cache size): tests keep them,
but peers must be measured as shipped, so every benchmark imports this before NumPy.
"""

import os
import statistics
import time

BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
REMOVED_OVERRIDES = {var: os.environ.pop(var) for var in BLAS_OVERRIDES if var in os.environ}


def median_time(fn, repeat=7, min_time=0.05):
    """Median seconds per call of fn(), each sample looping long enough to be measurable."""
    fn()
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time or number >= 1 << 20:
            break
        number *= 2 if dt == 0 else max(2, int(min_time / dt * 1.2))
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t0) / number)
    return statistics.median(samples)


def best_cpu_time(fn, samples=15, min_time=0.002):
    """Fastest seconds per call of fn() on this thread's CPU clock over `samples` samples.

    The rates that are set against the machine's bounds use this, as the probe of those bounds
    does: on a shared machine a median of wall-clock times measures the other processes too,
    while the fastest CPU-clock sample is the least disturbed one."""
    fn()
    number = 1
    while True:
        t0 = time.thread_time()
        for _ in range(number):
            fn()
        if time.thread_time() - t0 >= min_time or number >= 1 << 16:
            break
        number *= 2
    best = float("inf")
    for _ in range(samples):
        t0 = time.thread_time()
        for _ in range(number):
            fn()
        best = min(best, (time.thread_time() - t0) / number)
    return best


def run_cases(cases, repeat=7, min_time=0.05, out=print):
    """Times each (case, ours, peer_name, peer[, work]) and prints one row per case; returns the
    rows. `work`, where given, is {"flops": n} or {"bytes": n} for the rate columns of run.py."""
    rows = []
    out(f"{'case':48s} {'veltrix':>12s} {'peer':>12s} {'ratio':>8s}  peer")
    for name, ours, peer_name, peer, *_work in cases:
        t_ours = median_time(ours, repeat, min_time)
        t_peer = median_time(peer, repeat, min_time) if peer is not None else float("nan")
        ratio = t_ours / t_peer if peer is not None else float("nan")
        rows.append((name, t_ours, peer_name, t_peer, ratio))
        out(f"{name:48s} {fmt(t_ours):>12s} {fmt(t_peer):>12s} {ratio:8.2f}  {peer_name}")
    return rows


def fmt(seconds):
    if seconds != seconds:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"
