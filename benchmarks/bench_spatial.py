"""Spatial trees against scipy.spatial.cKDTree and scikit-learn: ratio = veltrix time / peer time.

Builds cover 100,000 uniform points in 3 and 16 dimensions (leaf size 20 everywhere). Queries
are single-point calls from a Python loop on both sides, so they include one call's overhead;
scipy's batched query is listed for scale. Densities use 20,000 points and, to keep each case
to a few seconds, 100 query rows (scikit-learn's exact estimate is several times slower than
ours). scikit-learn normalises its densities; `check_density_agreement()` divides its constant
out and compares, `approximation_errors()` reports each criterion's error against the exact sum.

Batch queries (`query`, `query_ball_point`, `density`) take all query rows in one NumPy array
on both sides: 100,000 points in 3 uniform dimensions with 100,000 query rows, and 100,000
points in 16 dimensions lying near a 4-dimensional subspace with 10,000 rows (uniform
16-dimensional points would turn every tree into a brute-force scan); k = 10 and a radius
holding about ten points. `workers` cases compare with the peers' own threaded searches, and
"workers=2 vs workers=1" rows compare veltrix with itself.

`--kde-plus` times the weighted, normalised and log densities and `sample`: 10,000 query rows
over 100,000 standard-normal points in 3 dimensions (gaussian kernel, h = 0.1) against the
plain call, and 1,000,000 sampled rows against `KernelDensity.sample`. scikit-learn's exact
weighted `KernelDensity(rtol=0, atol=0)` takes about a minute per 1,000 rows here, so that
comparison uses the first 1,000 query rows on both sides and runs each side twice.
Pair searches (`--pairs`; `--pairs-cpu` times the single-threaded ones by process CPU time)
compare query_pairs, count_neighbors and sparse_distance_matrix with cKDTree and scikit-learn's
two_point_correlation.
"""

# timing first: it clears the BLAS overrides before NumPy loads.
try:
    from timing import best_cpu_time, run_cases
except ImportError:  # imported as benchmarks.bench_spatial
    from .timing import best_cpu_time, run_cases

import numpy as np
from scipy.spatial import cKDTree
from sklearn.neighbors import BallTree as SkBallTree
from sklearn.neighbors import KDTree as SkKDTree
from sklearn.neighbors import KernelDensity

import veltrix


SP = veltrix.spatial
LEAF = 20
N_BUILD = 100_000
# Per-point query loops: the 16-dimensional searches visit most of the tree, so fewer.
N_QUERIES = {3: 2_000, 16: 100}
N_KDE, N_KDE_QUERIES = 20_000, 100
CRITERIA = {"min_samples": (100, None), "max_span": (None, 0.05), "combined": (50, 0.1)}


def _array(x):
    return veltrix.Array.from_numpy(np.ascontiguousarray(x))


def _tree_cases():
    out = []
    for dim in (3, 16):
        rng = np.random.default_rng(dim)
        x = rng.uniform(size=(N_BUILD, dim))
        a = _array(x)
        tag = f"n=100k d={dim}"
        out += [
            (f"KDTree build {tag}", lambda a=a: SP.KDTree.from_array(a, LEAF),
             "cKDTree", lambda x=x: cKDTree(x, leafsize=LEAF)),
            (f"KDTree build {tag}", lambda a=a: SP.KDTree.from_array(a, LEAF),
             "sklearn KDTree", lambda x=x: SkKDTree(x, leaf_size=LEAF)),
            (f"BallTree build {tag}", lambda a=a: SP.BallTree.from_array(a, LEAF),
             "sklearn BallTree", lambda x=x: SkBallTree(x, leaf_size=LEAF)),
            (f"BallTree build {tag}", lambda a=a: SP.BallTree.from_array(a, LEAF),
             "cKDTree", lambda x=x: cKDTree(x, leafsize=LEAF)),
            (f"VPTree build {tag}", lambda a=a: SP.VPTree.from_array(a, LEAF),
             "cKDTree", lambda x=x: cKDTree(x, leafsize=LEAF)),
            (f"VPTree build random {tag}", lambda a=a: SP.VPTree.from_array(a, LEAF, "euclidean", "random"),
             "cKDTree", lambda x=x: cKDTree(x, leafsize=LEAF)),
        ]
        ours = {"KDTree": SP.KDTree.from_array(a, LEAF), "BallTree": SP.BallTree.from_array(a, LEAF),
                "VPTree": SP.VPTree.from_array(a, LEAF)}
        ck = cKDTree(x, leafsize=LEAF)
        sk = {"KDTree": SkKDTree(x, leaf_size=LEAF), "BallTree": SkBallTree(x, leaf_size=LEAF)}
        nq = N_QUERIES[dim]
        q = rng.uniform(size=(nq, dim))
        ql = q.tolist()
        rows = [r.reshape(1, -1) for r in q]
        # A radius holding about ten points on average.
        radius = float(np.median(ck.query(q[:50], 10)[0][:, -1]))
        qtag = f"{nq:,} x 1 point d={dim}"

        def knn_loop(t, ql=ql):
            return lambda: [t.query_knn(p, 10) for p in ql]

        def radius_loop(t, ql=ql, radius=radius):
            return lambda: [t.query_radius(p, radius) for p in ql]

        ck_knn = lambda ck=ck, q=q: [ck.query(p, 10) for p in q]  # noqa: E731
        ck_radius = lambda ck=ck, q=q, r=radius: [ck.query_ball_point(p, r) for p in q]  # noqa: E731
        for name, t in ours.items():
            out += [
                (f"{name} query_knn k=10 {qtag}", knn_loop(t), "cKDTree.query loop", ck_knn),
                (f"{name} query_radius {qtag}", radius_loop(t), "cKDTree.query_ball_point loop", ck_radius),
            ]
            if name in sk:
                s = sk[name]
                out += [
                    (f"{name} query_knn k=10 {qtag}", knn_loop(t),
                     f"sklearn {name}.query loop", lambda s=s, rows=rows: [s.query(r, k=10) for r in rows]),
                    (f"{name} query_radius {qtag}", radius_loop(t), f"sklearn {name}.query_radius loop",
                     lambda s=s, rows=rows, radius=radius: [s.query_radius(r, radius) for r in rows]),
                ]
        out += [
            (f"KDTree query_knn k=10 {qtag}", knn_loop(ours["KDTree"]),
             "cKDTree.query batched", lambda ck=ck, q=q: ck.query(q, 10)),
            (f"KDTree query_radius {qtag}", radius_loop(ours["KDTree"]),
             "cKDTree.query_ball_point batched", lambda ck=ck, q=q, r=radius: ck.query_ball_point(q, r)),
        ]
    return out


def _kde_setup(dim):
    rng = np.random.default_rng(100 + dim)
    x = rng.uniform(size=(N_KDE, dim))
    q = rng.uniform(size=(N_KDE_QUERIES, dim))
    return x, q, _array(x), _array(q)


def _kde_cases():
    out = []
    for dim in (2, 8):
        x, q, a, qa = _kde_setup(dim)
        trees = {"kd_tree": SP.KDTree.from_array(a, LEAF), "ball_tree": SP.BallTree.from_array(a, LEAF)}
        vp = SP.VPTree.from_array(a, LEAF)
        for kernel in ("gaussian", "epanechnikov"):
            for h in (0.1, 1.0):
                tag = f"{kernel} h={h} n=20k d={dim} {N_KDE_QUERIES} queries"
                for algo, t in trees.items():
                    kde = KernelDensity(kernel=kernel, bandwidth=h, algorithm=algo, rtol=0, atol=0,
                                        leaf_size=LEAF).fit(x)
                    out.append((f"{type(t).__name__} kernel_density {tag}",
                                lambda t=t, h=h, kernel=kernel, qa=qa: t.kernel_density(qa, h, kernel),
                                f"KernelDensity {algo}", lambda kde=kde, q=q: kde.score_samples(q)))
                kde = KernelDensity(kernel=kernel, bandwidth=h, algorithm="kd_tree", rtol=0, atol=0,
                                    leaf_size=LEAF).fit(x)
                out.append((f"VPTree kernel_density {tag}",
                            lambda vp=vp, h=h, kernel=kernel, qa=qa: vp.kernel_density(qa, h, kernel),
                            "KernelDensity kd_tree", lambda kde=kde, q=q: kde.score_samples(q)))
        # Approximations against scikit-learn's relative tolerance.
        h = 0.1
        t = trees["kd_tree"]
        kde = KernelDensity(kernel="gaussian", bandwidth=h, algorithm="kd_tree", rtol=1e-3, leaf_size=LEAF).fit(x)
        for crit, (m, s) in CRITERIA.items():
            out.append((f"KDTree kernel_density_approx {crit} gaussian h={h} d={dim}",
                        lambda t=t, qa=qa, crit=crit, m=m, s=s: t.kernel_density_approx(qa, h, "gaussian", crit, m, s),
                        "KernelDensity rtol=1e-3", lambda kde=kde, q=q: kde.score_samples(q)))
    return out


def batch_data(dim):
    """(points, query rows): uniform in 3 dimensions; in 16, near a random 4-dimensional subspace."""
    rng = np.random.default_rng(1000 + dim)
    if dim == 3:
        return rng.uniform(size=(N_BUILD, 3)), rng.uniform(size=(100_000, 3))
    basis = rng.standard_normal((4, 16))

    def draw(count):
        return rng.uniform(size=(count, 4)) @ basis + 0.01 * rng.standard_normal((count, 16))

    return draw(N_BUILD), draw(10_000)


def _batch_cases():
    out = []
    for dim in (3, 16):
        x, q = batch_data(dim)
        a = _array(x)
        ck = cKDTree(x, leafsize=LEAF)
        radius = float(np.median(ck.query(q[:500], 10)[0][:, -1]))
        tag = f"n=100k {len(q) // 1000}k rows d={dim}"
        ours = {"KDTree": SP.KDTree.from_array(a, LEAF), "BallTree": SP.BallTree.from_array(a, LEAF)}
        sk = {"KDTree": SkKDTree(x, leaf_size=LEAF), "BallTree": SkBallTree(x, leaf_size=LEAF)}
        for w in (1, -1):
            t = ours["KDTree"]
            out += [
                (f"KDTree query k=10 workers={w} {tag}", lambda t=t, q=q, w=w: t.query(q, 10, workers=w),
                 f"cKDTree.query workers={w}", lambda ck=ck, q=q, w=w: ck.query(q, 10, workers=w)),
                (f"KDTree query_ball_point workers={w} {tag}",
                 lambda t=t, q=q, w=w, r=radius: t.query_ball_point(q, r, workers=w),
                 f"cKDTree.query_ball_point workers={w}",
                 lambda ck=ck, q=q, w=w, r=radius: ck.query_ball_point(q, r, workers=w, return_sorted=False)),
                (f"KDTree query_ball_point sorted workers={w} {tag}",
                 lambda t=t, q=q, w=w, r=radius: t.query_ball_point(q, r, sort_results=True, workers=w),
                 f"cKDTree.query_ball_point sorted workers={w}",
                 lambda ck=ck, q=q, w=w, r=radius: ck.query_ball_point(q, r, workers=w, return_sorted=True)),
            ]
        for name, t in ours.items():
            s = sk[name]
            out += [
                (f"{name} query k=10 {tag}", lambda t=t, q=q: t.query(q, 10),
                 f"sklearn {name}.query", lambda s=s, q=q: s.query(q, k=10)),
                (f"{name} query_ball_point {tag}", lambda t=t, q=q, r=radius: t.query_ball_point(q, r),
                 f"sklearn {name}.query_radius", lambda s=s, q=q, r=radius: s.query_radius(q, r)),
            ]
        t = ours["KDTree"]
        out.append((f"KDTree query k=10 workers=2 vs workers=1 {tag}", lambda t=t, q=q: t.query(q, 10, workers=2),
                    "KDTree query workers=1", lambda t=t, q=q: t.query(q, 10)))
        # A bandwidth of half the ten-neighbour radius against sklearn's exact estimate (which
        # visits every point: its Gaussian has no cut-off), so fewer rows.
        h = radius * 0.5
        qd = q[:200] if dim == 3 else q[:100]
        dtag = f"gaussian h={h:.3g} n=100k {len(qd)} rows d={dim}"
        for name, algo in (("KDTree", "kd_tree"), ("BallTree", "ball_tree")):
            kde = KernelDensity(bandwidth=h, algorithm=algo, rtol=0, atol=0, leaf_size=LEAF).fit(x)
            out.append((f"{name} density {dtag}", lambda t=ours[name], qd=qd, h=h: t.density(qd, h),
                        f"KernelDensity {algo}.score_samples", lambda kde=kde, qd=qd: kde.score_samples(qd)))
        out.append((f"KDTree density workers=2 vs workers=1 {tag}",
                    lambda t=t, q=q, h=h: t.density(q, h, workers=2),
                    "KDTree density workers=1", lambda t=t, q=q, h=h: t.density(q, h)))
    return out


def _pair_cases():
    """Pair searches against cKDTree (same points, radii and workers) and scikit-learn's
    two_point_correlation: query_pairs over 100,000 uniform 3-d points with about ten pairs per
    point, count_neighbors between two such sets at 20 radii spanning a decade (unweighted and
    weighted), sparse_distance_matrix of 10,000 x 10,000 points with about ten per row; the
    k-d tree with workers 1 and -1, the ball and vantage-point trees with one."""
    out = []
    rng = np.random.default_rng(24)
    n = 100_000
    x, y = rng.uniform(size=(n, 3)), rng.uniform(size=(n, 3))
    a, b = _array(x), _array(y)
    ours, other = SP.KDTree.from_array(a, LEAF), SP.KDTree.from_array(b, LEAF)
    ck, cko = cKDTree(x, leafsize=LEAF), cKDTree(y, leafsize=LEAF)
    # About ten pairs per point: 2 * pairs / n = 10 for n points in the unit cube.
    r_pairs = (3 * 20 / (4 * np.pi * n)) ** (1 / 3)
    for w in (1, -1):
        out.append((f"KDTree query_pairs n=100k d=3 workers={w}",
                    lambda w=w: ours.query_pairs(r_pairs, workers=w),
                    "cKDTree query_pairs ndarray", lambda: ck.query_pairs(r_pairs, output_type="ndarray")))
    # A decade of radii up to the one holding about twenty points around each point.
    radii = np.geomspace(r_pairs / 10, r_pairs, 20)
    wx, wy = rng.uniform(size=n), rng.uniform(size=n)
    sk = SkKDTree(x, leaf_size=LEAF)
    for w in (1, -1):
        out.append((f"KDTree count_neighbors 100k x 100k, 20 radii workers={w}",
                    lambda w=w: ours.count_neighbors(other, radii, workers=w),
                    "cKDTree count_neighbors", lambda: ck.count_neighbors(cko, radii)))
        out.append((f"KDTree count_neighbors weighted workers={w}",
                    lambda w=w: ours.count_neighbors(other, radii, weights=(wx, wy), workers=w),
                    "cKDTree count_neighbors weighted", lambda: ck.count_neighbors(cko, radii, weights=(wx, wy))))
    out.append(("KDTree count_neighbors query points workers=1", lambda: ours.count_neighbors(y, radii),
                "sklearn two_point_correlation dualtree", lambda: sk.two_point_correlation(y, radii, dualtree=True)))
    m = 10_000
    xs, ys = x[:m], y[:m]
    ts, tso = SP.KDTree.from_array(_array(xs), LEAF), SP.KDTree.from_array(_array(ys), LEAF)
    cs, cso = cKDTree(xs, leafsize=LEAF), cKDTree(ys, leafsize=LEAF)
    r_sparse = (3 * 10 / (4 * np.pi * m)) ** (1 / 3)
    for w in (1, -1):
        out.append((f"KDTree sparse_distance_matrix 10k x 10k workers={w}",
                    lambda w=w: ts.sparse_distance_matrix(tso, r_sparse, workers=w),
                    "cKDTree sparse_distance_matrix coo", lambda: cs.sparse_distance_matrix(cso, r_sparse,
                                                                                             output_type="ndarray")))
    for name in ("BallTree", "VPTree"):
        cls = getattr(SP, name)
        t, to = cls.from_array(a, LEAF), cls.from_array(b, LEAF)
        ts_, tso_ = cls.from_array(_array(xs), LEAF), cls.from_array(_array(ys), LEAF)
        out += [
            (f"{name} query_pairs n=100k d=3", lambda t=t: t.query_pairs(r_pairs),
             "cKDTree query_pairs ndarray", lambda: ck.query_pairs(r_pairs, output_type="ndarray")),
            (f"{name} count_neighbors 100k x 100k, 20 radii", lambda t=t, to=to: t.count_neighbors(to, radii),
             "cKDTree count_neighbors", lambda: ck.count_neighbors(cko, radii)),
            (f"{name} count_neighbors weighted", lambda t=t, to=to: t.count_neighbors(to, radii, weights=(wx, wy)),
             "cKDTree count_neighbors weighted", lambda: ck.count_neighbors(cko, radii, weights=(wx, wy))),
            (f"{name} sparse_distance_matrix 10k x 10k", lambda t=ts_, o=tso_: t.sparse_distance_matrix(o, r_sparse),
             "cKDTree sparse_distance_matrix coo",
             lambda: cs.sparse_distance_matrix(cso, r_sparse, output_type="ndarray")),
        ]
    return out


def run_cpu_cases(cases, repeat=5):
    """Single-threaded cases timed on the CPU clock (fastest of `repeat` runs): on a machine
    shared with other work, wall-clock medians mostly measure the neighbours."""

    def cpu(fn):
        return best_cpu_time(fn, samples=repeat, min_time=0.0)

    print(f"{'case (CPU time, minimum)':60s} {'veltrix':>9s} {'peer':>9s} {'ratio':>6s}  peer")
    for name, ours, peer_name, peer in cases:
        if "workers=-1" in name:
            continue
        a, b = cpu(ours), cpu(peer)
        print(f"{name:60s} {a:9.4f} {b:9.4f} {a / b:6.2f}  {peer_name}")


def cases():
    return _tree_cases() + _kde_cases() + _batch_cases() + _pair_cases()


def _periodic_cases():
    """Periodic boxes (boxsize=1) against cKDTree's: 100,000 uniform points in 3 dimensions,
    100,000 query rows, k = 10 and a radius holding about ten points, workers 1 and -1."""
    rng = np.random.default_rng(24)
    x = rng.uniform(size=(100_000, 3))
    q = rng.uniform(size=(100_000, 3))
    ck = cKDTree(x, leafsize=LEAF, boxsize=1.0)
    radius = float(np.median(ck.query(q[:50], 10)[0][:, -1]))
    out = []
    for name in ("KDTree", "BallTree", "VPTree"):
        t = getattr(SP, name).from_points(x, leaf_size=LEAF, boxsize=1.0)
        for w in (1, -1):
            out += [
                (f"{name} periodic query k=10 workers={w}", lambda t=t, w=w: t.query(q, 10, workers=w),
                 f"cKDTree periodic query workers={w}", lambda w=w: ck.query(q, 10, workers=w)),
                (f"{name} periodic query_ball_point workers={w}",
                 lambda t=t, w=w: t.query_ball_point(q, radius, workers=w),
                 f"cKDTree periodic query_ball_point workers={w}",
                 lambda w=w: ck.query_ball_point(q, radius, workers=w)),
            ]
    return out


def _build_cases(n):
    """from_points over n uniform points in 3 dimensions against cKDTree(P), workers 1 and 2,
    and workers=2 against our own workers=1."""
    x = np.random.default_rng(7).uniform(size=(n, 3))
    tag = f"n={n:.0e} d=3"
    ours = {w: (lambda w=w: SP.KDTree.from_points(x, leaf_size=LEAF, workers=w)) for w in (1, 2)}
    return [
        (f"KDTree from_points workers=1 {tag}", ours[1], "cKDTree(P)", lambda: cKDTree(x, leafsize=LEAF)),
        (f"KDTree from_points workers=2 {tag}", ours[2], "cKDTree(P)", lambda: cKDTree(x, leafsize=LEAF)),
        (f"KDTree from_points workers=2 vs 1 {tag}", ours[2], "KDTree from_points workers=1", ours[1]),
    ]


def _density_workers_cases():
    """density with workers=2 against workers=1 for each tree, 16 dimensions (points near a
    4-dimensional subspace, as the batch cases), 2,000 query rows."""
    rng = np.random.default_rng(16)
    basis = rng.normal(size=(4, 16))
    x = rng.uniform(size=(50_000, 4)) @ basis + rng.normal(scale=0.01, size=(50_000, 16))
    q = rng.uniform(size=(2_000, 4)) @ basis
    out = []
    for name in ("KDTree", "BallTree", "VPTree"):
        t = getattr(SP, name).from_points(x, leaf_size=LEAF)
        out.append((f"{name} density d=16 workers=2 vs 1", lambda t=t: t.density(q, 0.3, workers=2),
                    f"{name} density workers=1", lambda t=t: t.density(q, 0.3)))
    return out


_MEMORY_PROBE = """
import resource, sys, numpy as np
n, which = int(sys.argv[1]), sys.argv[2]
x = np.random.default_rng(7).uniform(size=(n, 3))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if which.startswith("from_points"):
    import veltrix
    cls = which.split()[1] if " " in which else "KDTree"
    t = getattr(veltrix.spatial, cls).from_points(x, leaf_size=20)
elif which == "from_array":
    import veltrix
    t = veltrix.spatial.KDTree.from_array(veltrix.Array.from_numpy(x), 20)
else:
    from scipy.spatial import cKDTree
    t = cKDTree(x, leafsize=20)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
"""


def build_memory(n):
    """Rise of the process's peak resident memory over a build of n points in 3 dimensions,
    each in a fresh interpreter (the coordinates themselves are made before the baseline)."""
    import subprocess
    import sys

    out = {}
    for which in ("from_points", "from_points BallTree", "from_points VPTree", "from_array", "cKDTree"):
        r = subprocess.run([sys.executable, "-c", _MEMORY_PROBE, str(n), which], capture_output=True, text=True,
                           check=True)
        out[which] = int(r.stdout)
    return out


def check_density_agreement():
    """Per case: the relative spread of ours / scikit-learn's over the queries where ours is
    positive (0 = equal up to the normalising constant), and scikit-learn's largest value
    where ours is exactly 0 (no point inside a bounded kernel's support)."""
    rows = []
    for dim in (2, 8):
        x, q, a, qa = _kde_setup(dim)
        t = SP.KDTree.from_array(a, LEAF)
        for kernel in ("gaussian", "epanechnikov"):
            for h in (0.1, 1.0):
                ours = t.kernel_density(qa, h, kernel).to_numpy()
                theirs = np.exp(KernelDensity(kernel=kernel, bandwidth=h, rtol=0, atol=0).fit(x).score_samples(q))
                pos = ours > 0
                r = ours[pos] / theirs[pos]
                spread = float(r.max() / r.min() - 1) if r.size else 0.0
                rows.append((f"{kernel} h={h} d={dim}", spread, float(theirs[~pos].max(initial=0.0))))
    return rows


def approximation_errors():
    """Largest relative error of each criterion against the exact estimate, and scikit-learn's
    rtol=1e-3 error against its exact one."""
    rows = []
    for dim in (2, 8):
        x, q, a, qa = _kde_setup(dim)
        for h in (0.1, 1.0):
            t = SP.KDTree.from_array(a, LEAF)
            exact = t.kernel_density(qa, h, "gaussian").to_numpy()
            for crit, (m, s) in CRITERIA.items():
                approx = t.kernel_density_approx(qa, h, "gaussian", crit, m, s).to_numpy()
                rows.append((f"{crit} gaussian h={h} d={dim}", float(np.max(np.abs(approx - exact) / exact))))
            ex = KernelDensity(bandwidth=h, rtol=0, atol=0).fit(x).score_samples(q)
            ap = KernelDensity(bandwidth=h, rtol=1e-3).fit(x).score_samples(q)
            rows.append((f"sklearn rtol=1e-3 gaussian h={h} d={dim}", float(np.max(np.abs(np.expm1(ap - ex))))))
    return rows


def _interleaved_minima(cases, repeat):
    """Minimum seconds of each side over `repeat` alternating runs: a shared, loaded machine
    slows both sides alike only when they take turns."""
    import time

    print(f"{'case':48s} {'veltrix':>10s} {'peer':>10s} {'ratio':>7s}  peer (minima of {repeat})")
    for name, ours, peer_name, peer in cases:
        best = [float("inf"), float("inf")]
        for _ in range(repeat):
            for side, fn in enumerate((ours, peer)):
                t0 = time.perf_counter()
                fn()
                best[side] = min(best[side], time.perf_counter() - t0)
        print(f"{name:48s} {best[0]:10.3f} {best[1]:10.3f} {best[0] / best[1]:7.3f}  {peer_name}")


def _kde_plus_cases():
    """(cases against veltrix itself and sampling, cases against scikit-learn's exact sums)."""
    rng = np.random.default_rng(25)
    n, m, h = 100_000, 10_000, 0.1
    x = rng.standard_normal((n, 3))
    q = rng.standard_normal((m, 3))
    w = rng.uniform(0.5, 1.5, n)
    t = SP.KDTree.from_array(_array(x), LEAF)
    sk = KernelDensity(bandwidth=h, rtol=0, atol=0).fit(x, sample_weight=w)
    sk_tophat = KernelDensity(bandwidth=h, kernel="tophat").fit(x)
    plain = lambda: t.density(q, h)
    tag = "gaussian 10k x 100k d=3"
    gen = veltrix.random.Generator.from_seed(1)
    own = [
        (f"density weights {tag}", lambda: t.density(q, h, weights=w), "veltrix unweighted", plain),
        (f"density normalize=True {tag}", lambda: t.density(q, h, normalize=True), "veltrix plain", plain),
        (f"density log=True {tag}", lambda: t.density(q, h, log=True), "veltrix plain", plain),
        (f"density normalize+log {tag}", lambda: t.density(q, h, normalize=True, log=True), "veltrix plain", plain),
        ("sample gaussian 1e6 rows d=3", lambda: t.sample(1_000_000, gen, h),
         "sklearn KernelDensity.sample", lambda: sk.sample(1_000_000, random_state=0)),
        ("sample uniform 1e6 rows d=3", lambda: t.sample(1_000_000, gen, h, "uniform"),
         "sklearn KernelDensity(tophat).sample", lambda: sk_tophat.sample(1_000_000, random_state=0)),
    ]
    q1 = q[:1000]
    peer = [
        ("density weights gaussian 1k x 100k d=3", lambda: t.density(q1, h, weights=w),
         "sklearn KernelDensity(rtol=0, atol=0) weighted", lambda: sk.score_samples(q1)),
    ]
    return own, peer


if __name__ == "__main__":
    import sys

    if sys.argv[1:] == ["--kde-plus"]:
        own, peer = _kde_plus_cases()
        _interleaved_minima(own, repeat=7)
        _interleaved_minima(peer, repeat=1)
        raise SystemExit
    if sys.argv[1:] == ["--batch"]:
        run_cases(_batch_cases(), repeat=3)
        raise SystemExit
    if sys.argv[1:] == ["--periodic"]:
        run_cases(_periodic_cases(), repeat=3)
        raise SystemExit
    if sys.argv[1:2] == ["--build"]:
        for n in [int(float(v)) for v in sys.argv[2:] or ["1e6", "1e7"]]:
            run_cases(_build_cases(n), repeat=3, min_time=0)
        raise SystemExit
    if sys.argv[1:] == ["--density-workers"]:
        run_cases(_density_workers_cases(), repeat=3)
        raise SystemExit
    if sys.argv[1:2] == ["--memory"]:
        for n in [int(float(v)) for v in sys.argv[2:] or ["1e7"]]:
            coords = n * 3 * 8
            for which, rise in build_memory(n).items():
                print(f"peak rise {which:20s} n={n:.0e} d=3: {rise / 1e6:8.1f} MB = {rise / coords:.2f} x coordinates")
        raise SystemExit
    if sys.argv[1:] == ["--pairs"]:
        run_cases(_pair_cases(), repeat=3)
        raise SystemExit
    if sys.argv[1:] == ["--pairs-cpu"]:
        run_cpu_cases(_pair_cases())
        raise SystemExit
    run_cases(cases())
    print()
    for name, spread, stray in check_density_agreement():
        print(f"agreement with KernelDensity {name:32s} spread {spread:.2e}, theirs where ours is 0: {stray:.2e}")
    for name, err in approximation_errors():
        print(f"max relative error {name:40s} {err:.2e}")
