"""A tour of veltrix: every subsystem on data drawn from one seeded generator.

    python examples/tour.py            # full size, prints a report (and a PNG if matplotlib exists)
    python examples/tour.py --small    # reduced sizes, for the test suite
    python examples/tour.py --json F   # also writes the report's key numbers to F

Nothing but veltrix is needed; matplotlib is optional.
"""

import argparse
import json
import math
import pathlib
import sys
import time

import veltrix


def section(title):
    print()
    print(title)
    print("-" * len(title))


def max_abs(a):
    # Iterating an Array walks its elements in row-major order.
    return max((abs(x) for x in a), default=0.0)


def arrays_and_broadcasting(report):
    section("1. Arrays and broadcasting")
    col = veltrix.Array([3, 1], [1.0, 2.0, 3.0])
    row = veltrix.asarray([10.0, 20.0, 30.0, 40.0])
    grid = col * row + 0.5
    print(f"[3, 1] * [4] + 0.5 -> shape {grid.shape}")
    for r in grid.tolist():
        print("   ", "  ".join(f"{x:6.1f}" for x in r))
    x = veltrix.asarray([-1.0, 0.0, 0.25, 4.0])
    print(f"x           = {x.tolist()}")
    print(f"x.abs()     = {x.abs().tolist()}")
    print(f"x.clip(0,1) = {x.clip(0.0, 1.0).tolist()}")
    print(f"x.sqrt()    = {x.sqrt().tolist()}   (NaN for negatives, no error)")
    print(f"repr        : {veltrix.asarray([0.1 + 0.2, 1e-5, 1e20])!r}")
    report["broadcast_shape"] = grid.shape
    report["broadcast_corner"] = grid[2, 3]


def linear_algebra(gen, report, n_samples):
    section("2. Linear algebra")
    # A covariance matrix, its Cholesky factor, and correlated normal draws made with it.
    cov = veltrix.Array([3, 3], [4.0, 1.2, -0.8,
                                 1.2, 2.0, 0.3,
                                 -0.8, 0.3, 1.0])
    chol = veltrix.linalg.cholesky(cov)
    recon = chol @ chol.t()
    err_chol = max_abs(recon - cov)
    print(f"cholesky: max |L L^T - C| = {err_chol:.3e}")
    z = gen.standard_normal([n_samples, 3])
    samples = z @ chol.t()            # each row ~ N(0, C)
    by_column = samples.t()
    cols = [by_column[j] for j in range(3)]
    sample_cov = veltrix.zeros([3, 3])
    means = [c.mean() for c in cols]
    for i in range(3):
        for j in range(3):
            d = (cols[i] - means[i]) * (cols[j] - means[j])
            sample_cov[i, j] = d.sum() / n_samples
    err_cov = max_abs(sample_cov - cov)
    print(f"{n_samples} correlated draws: max |sample cov - C| = {err_cov:.3f}")

    a = gen.uniform(-1.0, 1.0, [6, 4])
    q, r = veltrix.linalg.qr(a)
    err_qr = max_abs(q @ r - a)
    err_orth = max_abs(q.t() @ q - veltrix.eye(6))
    print(f"qr of a 6x4 matrix: max |QR - A| = {err_qr:.3e}, max |Q^T Q - I| = {err_orth:.3e}")

    # A symmetric matrix with well-separated eigenvalues 5, 4, 3, 2, 1 (the unshifted QR
    # iteration converges at the rate of neighbouring eigenvalue ratios).
    basis, _ = veltrix.linalg.qr(gen.uniform(-1.0, 1.0, [5, 5]))
    sym = basis @ veltrix.diag([5.0, 4.0, 3.0, 2.0, 1.0]) @ basis.t()
    sym = (sym + sym.t()) * 0.5
    values, vectors = veltrix.linalg.eig(sym)
    residual = max_abs(sym @ vectors - vectors @ veltrix.diag(values))
    print(f"eig of a symmetric 5x5: values {[round(v, 6) for v in values.tolist()]}")
    print(f"    max |A V - V diag(w)| = {residual:.3e}")
    report.update(cholesky_error=err_chol, covariance_error=err_cov, qr_error=err_qr,
                  qr_orthogonality=err_orth, eig_residual=residual)


def statistics(gen, report, n):
    section("3. Statistics")
    x = gen.normal(10.0, 2.0, [n])
    noise = gen.normal(0.0, 1.0, [n])
    y = x * 0.8 + noise
    g = gen.gamma(2.5, 1.0, [n])
    print(f"x ~ N(10, 2^2), n = {n}: mean {x.mean():.4f}, std {x.std():.4f}, median {x.median():.4f}")
    qs = veltrix.stats.quantile(x, veltrix.asarray([0.05, 0.25, 0.5, 0.75, 0.95]))
    print(f"    quantiles 5/25/50/75/95 %: {[round(v, 3) for v in qs.tolist()]}")
    print(f"gamma(2.5) draws: mean {g.mean():.4f} (expected 2.5), var {g.var():.4f} (expected 2.5)")
    p = veltrix.stats.pearson(x, y)
    s = veltrix.stats.spearman(x, y)
    print(f"y = 0.8 x + noise: pearson {p:.4f}, spearman {s:.4f}")
    report.update(mean=x.mean(), std=x.std(), pearson=p, spearman=s, gamma_mean=g.mean())


def brute_knn(points, q, k):
    d = [(math.dist(p, q), i) for i, p in enumerate(points)]
    d.sort()
    return [i for _, i in d[:k]]


def spatial_search(gen, report, n_per_cluster, n_queries):
    section("4. Spatial trees")
    centres = [(-2.0, -1.0), (1.5, 2.0), (3.0, -2.5)]
    rows = []
    for cx, cy in centres:
        pts = gen.normal(0.0, 0.6, [n_per_cluster, 2])
        for i in range(n_per_cluster):
            rows.extend([pts[i, 0] + cx, pts[i, 1] + cy])
    n = len(rows) // 2
    cloud = veltrix.Array([n, 2], rows)
    points = [(rows[2 * i], rows[2 * i + 1]) for i in range(n)]
    trees = {
        "KDTree": veltrix.spatial.KDTree.from_array(cloud, leaf_size=20),
        "BallTree": veltrix.spatial.BallTree.from_array(cloud, leaf_size=20),
        "VPTree": veltrix.spatial.VPTree.from_array(cloud, leaf_size=20, selection="first"),
    }
    # Random vantage selection draws from the clock: a different tree each build, the same answers.
    vp_random = veltrix.spatial.VPTree.from_array(cloud, leaf_size=20, selection="random")
    queries = gen.uniform(-4.0, 4.0, [n_queries, 2])
    knn_ok = True
    for name, tree in trees.items():
        t0 = time.perf_counter()
        found = [tree.query_knn([queries[i, 0], queries[i, 1]], 5) for i in range(n_queries)]
        dt = time.perf_counter() - t0
        for i, f in enumerate(found):
            q = (queries[i, 0], queries[i, 1])
            truth = brute_knn(points, q, 5)
            if sorted(math.dist(points[j], q) for j in f) != sorted(math.dist(points[j], q) for j in truth):
                knn_ok = False
        within = tree.query_radius([0.0, 0.0], 1.0)
        print(f"{name:8s}: {n_queries} kNN(5) queries in {dt * 1e3:.1f} ms, "
              f"{len(within)} points within 1.0 of the origin")
    same = all(sorted(vp_random.query_knn([queries[i, 0], queries[i, 1]], 5)) ==
               sorted(trees["VPTree"].query_knn([queries[i, 0], queries[i, 1]], 5))
               for i in range(n_queries))
    print(f"VPTree with random vantage points finds the same neighbours: {same}")
    knn_ok = knn_ok and same
    truth_radius = sorted(i for i, p in enumerate(points) if math.dist(p, (0.0, 0.0)) <= 1.0)
    radius_ok = all(sorted(t.query_radius([0.0, 0.0], 1.0)) == truth_radius for t in trees.values())
    print(f"kNN equal to brute force: {knn_ok}; radius search equal to brute force: {radius_ok}")

    section("5. Kernel density")
    h = 0.5
    kd = trees["KDTree"]
    exact = kd.kernel_density(queries, bandwidth=h, kernel="gaussian")
    brute = []
    for i in range(n_queries):
        q = (queries[i, 0], queries[i, 1])
        brute.append(sum(math.exp(-0.5 * (math.dist(p, q) / h) ** 2) for p in points))
    # Nodes whose every point lies where the kernel is below 1e-10 are skipped, so the exact
    # estimate may miss at most n * 1e-10 per query.
    kde_err = max(abs(a - b) for a, b in zip(exact.tolist(), brute))
    print(f"exact gaussian density (h = {h}) vs brute force: max |difference| {kde_err:.2e} "
          f"(bound n * 1e-10 = {n * 1e-10:.1e})")
    peak = max(exact.tolist())
    approx_err = {}
    # min_samples alone replaces every internal node of at least m points, the root included,
    # by its two-point estimate: cheap and coarse. max_span and combined refine only small nodes.
    for crit, kw in [("min_samples", dict(min_samples=1000)), ("max_span", dict(max_span=0.3)),
                     ("combined", dict(min_samples=50, max_span=0.3))]:
        for name, tree in trees.items():
            approx = tree.kernel_density_approx(queries, bandwidth=h, kernel="gaussian",
                                                criterion=crit, **kw)
            err = max(abs(a - b) for a, b in zip(approx.tolist(), exact.tolist())) / peak
            approx_err[f"{name}/{crit}"] = err
    print(f"approximate densities, max |approx - exact| relative to the peak density {peak:.1f}:")
    for key, err in approx_err.items():
        print(f"    {key:22s} {err:.3e}")
    report.update(knn_matches_brute_force=knn_ok, radius_matches_brute_force=radius_ok,
                  kde_abs_error=kde_err, kde_error_bound=n * 1e-10,
                  approx_error_vs_peak=max(approx_err.values()),
                  n_points=n)
    return cloud, kd.kernel_density(bandwidth=h)


def figure(cloud, density, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(matplotlib not installed: no figure)")
        return None
    xs = [cloud[i, 0] for i in range(cloud.shape[0])]
    ys = [cloud[i, 1] for i in range(cloud.shape[0])]
    fig, ax = plt.subplots(figsize=(6, 5))
    sc = ax.scatter(xs, ys, c=density.tolist(), s=6, cmap="viridis")
    fig.colorbar(sc, label="gaussian kernel density (h = 0.5)")
    ax.set_title("veltrix tour: clustered point cloud coloured by density")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"\nfigure written to {path}")
    return path


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--small", action="store_true", help="reduced sizes (for tests)")
    ap.add_argument("--json", help="write the key numbers to this file")
    ap.add_argument("--figure", default="tour-density.png", help="PNG path (needs matplotlib)")
    ap.add_argument("--no-figure", action="store_true")
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    gen = veltrix.random.seed(2026)
    report = {}
    print(f"veltrix tour ({'small' if args.small else 'full'} size), seed 2026")
    arrays_and_broadcasting(report)
    linear_algebra(gen, report, 2_000 if args.small else 20_000)
    statistics(gen, report, 2_000 if args.small else 100_000)
    cloud, density = spatial_search(gen, report, 150 if args.small else 1_000, 20 if args.small else 200)
    if not args.no_figure:
        figure(cloud, density, pathlib.Path(args.figure))
    report["seconds"] = time.perf_counter() - t0
    print(f"\ndone in {report['seconds']:.2f} s")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=2))
    return report


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
