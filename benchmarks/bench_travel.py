"""Pickled trees: state size against the raw points, and loading time against building time.

    python benchmarks/bench_travel.py [n_points] [dim]      # default 1,000,000 x 3

For each tree class (leaf size 20, Euclidean): the pickle's size divided by n x dim x 8 bytes,
and the median time of pickle.loads divided by the median time of from_array.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import fmt, median_time
except ImportError:  # imported as benchmarks.bench_travel
    from .timing import fmt, median_time

import pickle
import sys

import numpy as np

import veltrix



def main(n=1_000_000, dim=3):
    points = veltrix.Array.from_numpy(np.random.default_rng(0).random((n, dim)))
    raw = n * dim * 8
    print(f"{n} x {dim} points ({raw / 1e6:.1f} MB raw)")
    print(f"{'tree':24s} {'size ratio':>10s} {'build':>10s} {'dumps':>10s} {'loads':>10s} {'load/build':>10s}")
    for name, build in (
        ("KDTree", lambda: veltrix.spatial.KDTree.from_array(points, 20)),
        ("BallTree", lambda: veltrix.spatial.BallTree.from_array(points, 20)),
        ("VPTree", lambda: veltrix.spatial.VPTree.from_array(points, 20)),
        ("VPTree random", lambda: veltrix.spatial.VPTree.from_array(points, 20, selection="random")),
    ):
        tree = build()
        state = pickle.dumps(tree, protocol=5)
        t_build = median_time(build, repeat=5, min_time=0.0)
        t_dumps = median_time(lambda: pickle.dumps(tree, protocol=5), repeat=5, min_time=0.0)
        t_loads = median_time(lambda: pickle.loads(state), repeat=5, min_time=0.0)
        print(f"{name:24s} {len(state) / raw:10.3f} {fmt(t_build):>10s} {fmt(t_dumps):>10s} "
              f"{fmt(t_loads):>10s} {t_loads / t_build:10.3f}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
