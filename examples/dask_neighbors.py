"""Neighbours, densities and random samples on Dask, bit-identical to one process.

    python examples/dask_neighbors.py                         # LocalClusters of 1 and 2 processes
    python examples/dask_neighbors.py --scheduler HOST:8786   # an existing cluster instead
    python examples/dask_neighbors.py --small                 # reduced sizes

Needs ``pip install ".[dask]"`` (dask[array,distributed], which brings NumPy). The functions
below are the recipe; ``main`` times them against one process and checks every result bit for
bit:

- the tree is built once, on the client, and enters the graph once (``Client.scatter`` on a
  cluster, ``dask.delayed`` for the local schedulers); every block task names that one key;
- query points are a float64 dask array chunked along rows only; ``map_blocks`` answers each
  block with one batch call (``query``, ``density``) on the worker's thread;
- random points are drawn in blocks with one ``Generator`` per block, all spawned from one
  seeded parent, so the sample is the same whichever worker draws which block and when.

Each result row depends only on its query row and the tree, so no chunking, worker count or
task order changes a bit of it.
"""

import argparse
import copy
import sys
import time

import dask
import dask.array as da
import numpy as np

# Everything that may run on a worker reaches veltrix through the module: the submodules are
# named by bare words ("random", "spatial") that a worker would resolve to other modules.
import veltrix

TREE_CLASSES = {"kd": "KDTree", "ball": "BallTree", "vp": "VPTree"}


# ---------------------------------------------------------------------------------------------
# Data and the tree


def block_sizes(rows, block_rows):
    """Row counts of the blocks of a sample of `rows` rows drawn `block_rows` at a time."""
    full, rest = divmod(rows, block_rows)
    return (block_rows,) * full + ((rest,) if rest else ())


def sample_blocks(gen, rows, block_rows):
    """(generator, row count) of each block of a sample of `rows` rows drawn `block_rows` at a
    time: ``gen.spawn`` once, which advances `gen` past the children."""
    sizes = block_sizes(rows, block_rows)
    return list(zip(gen.spawn(len(sizes)), sizes))


def _draw_block(gen, rows, dim):
    # A copy keeps the task pure: a scheduler may run it twice (a lost worker, a second
    # compute of the same graph) and must get the same block again.
    return copy.copy(gen).uniform(0.0, 1.0, [rows, dim]).to_numpy()


def sample_local(blocks, dim):
    """Uniform points in the unit cube, the blocks of ``sample_blocks`` drawn in one process."""
    parts = [_draw_block(gen, rows, dim) for gen, rows in blocks]
    return np.concatenate(parts) if parts else np.empty((0, dim))


def sample_dask(blocks, dim):
    """The sample of ``sample_local`` as a dask array whose chunks are the blocks. Each task
    carries its own generator (four state words), so any worker may draw any block."""
    meta = np.empty((0, 0), np.float64)
    parts = [da.from_delayed(dask.delayed(_draw_block)(gen, rows, dim), (rows, dim), np.float64,
                             meta=meta) for gen, rows in blocks]
    return da.concatenate(parts) if parts else da.empty((0, dim), chunks=(0, dim))


def build_tree(points, kind="kd", leaf_size=20):
    """A tree over the rows of a float64 NumPy array; "vp" draws its vantage points at random,
    so only a shipped copy (never a rebuild) answers exactly as the original."""
    extra = {"selection": "random"} if kind == "vp" else {}
    cls = getattr(veltrix.spatial, TREE_CLASSES[kind])
    return cls.from_array(veltrix.Array.from_numpy(points), leaf_size, **extra)


def share_tree(tree, client=None):
    """The tree as one key of the graph: scattered to every worker up front when a client is
    given, else wrapped once in ``dask.delayed`` (the tree is pickled once either way)."""
    if client is not None:
        return client.scatter(tree, broadcast=True, hash=False)
    return dask.delayed(tree, pure=True)


# ---------------------------------------------------------------------------------------------
# Block functions and their dask wrappers


def knn_dtype(k):
    """One record per query row: map_blocks has a single output, so a block's distances and
    indices travel together from one search and are split into two arrays by field."""
    return np.dtype([("distance", np.float64, (k,)), ("index", np.int64, (k,))])


def _knn_block(block, tree, k, workers):
    dist, ind = tree.query(block, k, workers=workers)
    out = np.empty(len(block), knn_dtype(k))
    out["distance"] = dist
    out["index"] = ind
    return out


def _density_block(block, tree, bandwidth, kernel, workers):
    return tree.density(block, bandwidth, kernel, workers=workers)


def _rows_only(queries):
    # A block must hold whole query rows.
    return queries if len(queries.chunks[1]) == 1 else queries.rechunk({1: -1})


def knn(tree_ref, queries, k, workers=1):
    """(distances, indices): dask arrays of shape (m, k), float64 and int64, chunked as the
    rows of `queries`; one ``query`` call per block."""
    rec = knn_dtype(k)
    both = _rows_only(queries).map_blocks(_knn_block, tree_ref, k, workers, drop_axis=1,
                                          dtype=rec, meta=np.empty((0,), rec))
    return both["distance"], both["index"]


def density(tree_ref, queries, bandwidth, kernel="gaussian", workers=1):
    """Densities (shape (m,), float64) of the query rows; one ``density`` call per block."""
    return _rows_only(queries).map_blocks(_density_block, tree_ref, bandwidth, kernel, workers,
                                          drop_axis=1, dtype=np.float64,
                                          meta=np.empty((0,), np.float64))


def same_bits(a, b):
    """True when two NumPy arrays have equal dtype, shape and every bit (-0.0 and NaN payloads
    included)."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    unsigned = np.dtype(f"u{a.dtype.itemsize}")
    return bool(np.array_equal(a.view(unsigned), b.view(unsigned)))


def gather_rows(client, arr):
    """A row-chunked dask array fetched block by block straight to the client and joined there
    (``compute`` would first join the blocks on one worker, moving half of them twice)."""
    return np.concatenate(client.gather(client.compute(list(arr.to_delayed().ravel()))))


# ---------------------------------------------------------------------------------------------
# The timed comparison


def _timed(fn):
    t0, c0 = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - t0, time.process_time() - c0


def _worker_cpu(client):
    return sum(client.run(time.process_time).values())


def _report(label, n_rows, t_knn, cpu, t_dens, identical):
    print(f"  {label:<30} kNN {t_knn:6.2f} s {n_rows / t_knn:10,.0f} rows/s  CPU {cpu:6.2f} s"
          f"   densities {t_dens:5.2f} s   bit-identical: {'yes' if identical else 'NO'}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=100_000, help="tree points (default 1e5)")
    ap.add_argument("--queries", type=int, default=2_000_000, help="query rows (default 2e6)")
    ap.add_argument("--chunk", type=int, default=100_000, help="rows per chunk (default 1e5)")
    ap.add_argument("--dim", type=int, default=3)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--tree", choices=sorted(TREE_CLASSES), default="kd")
    ap.add_argument("--density-rows", type=int, default=200_000,
                    help="densities for this many leading query rows (default 2e5)")
    ap.add_argument("--bandwidth", type=float, default=0.05)
    ap.add_argument("--kernel", default="epanechnikov")
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--processes", default="1,2",
                    help="LocalCluster sizes to time, comma-separated (default 1,2)")
    ap.add_argument("--scheduler", help="address of a running scheduler to use instead")
    ap.add_argument("--profile", action="store_true",
                    help="keep the workers' statistical profiler on (off by default)")
    ap.add_argument("--small", action="store_true", help="reduced sizes")
    args = ap.parse_args(argv)
    if args.small:
        args.points, args.queries, args.chunk, args.density_rows = 5_000, 40_000, 10_000, 10_000
    n_dens = min(args.density_rows, args.queries)

    # One seed for everything: the tree's points and the query sample get separate streams.
    point_gen, query_gen = veltrix.random.Generator.from_seed(args.seed).spawn(2)
    points = point_gen.uniform(0.0, 1.0, [args.points, args.dim]).to_numpy()
    t0 = time.perf_counter()
    tree = build_tree(points, args.tree)
    t_build = time.perf_counter() - t0
    blocks = sample_blocks(query_gen, args.queries, args.chunk)
    queries = sample_dask(blocks, args.dim)
    print(f"{type(tree).__name__} over {args.points:,} points in {args.dim}-d (built in "
          f"{t_build:.3f} s); {args.queries:,} query rows drawn in {queries.numblocks[0]} blocks "
          f"of {args.chunk:,} (one spawned generator each); k = {args.k}; {args.kernel} "
          f"densities, bandwidth {args.bandwidth}, for the first {n_dens:,} rows")

    # The single-process reference: the same blocks drawn in order, one call each.
    local, t_draw, _ = _timed(lambda: sample_local(blocks, args.dim))
    (ref_dist, ref_ind), t_knn, c_knn = _timed(lambda: tree.query(local, args.k))
    ref_dens, t_dens, _ = _timed(lambda: tree.density(local[:n_dens], args.bandwidth, args.kernel))
    print(f"  sample drawn in one process in {t_draw:.2f} s; times below are wall clock, CPU is "
          f"summed over the processes involved")
    _report("single process, workers=1", args.queries, t_knn, c_knn, t_dens, True)

    def graphs(tree_ref):
        dist, ind = knn(tree_ref, queries, args.k)
        # Densities over another chunking of the same rows: the results cannot tell.
        rows = queries[:n_dens].rechunk(max(1, args.chunk // 3))
        return dist, ind, density(tree_ref, rows, args.bandwidth, args.kernel)

    def identical(dist, ind, dens):
        return same_bits(dist, ref_dist) and same_bits(ind, ref_ind) and same_bits(dens, ref_dens)

    # Threads share the tree in memory; the searches run without the interpreter lock.
    dist, ind, dens = graphs(share_tree(tree))
    threads = {"scheduler": "threads", "num_workers": 2}
    (got_dist, got_ind), t_knn, c_knn = _timed(lambda: dask.compute(dist, ind, **threads))
    (got_dens,), t_dens, _ = _timed(lambda: dask.compute(dens, **threads))
    ok = identical(got_dist, got_ind, got_dens)
    _report("threaded scheduler, 2 threads", args.queries, t_knn, c_knn, t_dens, ok)

    from distributed import Client, LocalCluster, futures_of, wait

    def persist(client, *arrays):
        arrays = client.persist(list(arrays))
        wait(futures_of(arrays))
        return arrays

    def on_cluster(client, label):
        tree_ref, t_ship, _ = _timed(lambda: share_tree(tree, client))
        dist, ind, dens = graphs(tree_ref)
        # Timed: the results computed and held in the workers' memory, as further Dask work
        # would use them; fetching them to the client is timed apart.
        cpu0 = _worker_cpu(client)
        (dist, ind), t_knn, c_here = _timed(lambda: persist(client, dist, ind))
        c_workers = _worker_cpu(client) - cpu0
        (got_dist, got_ind), t_gather, _ = _timed(
            lambda: (gather_rows(client, dist), gather_rows(client, ind)))
        got_dens, t_dens, _ = _timed(lambda: gather_rows(client, dens))
        good = identical(got_dist, got_ind, got_dens)
        good &= same_bits(gather_rows(client, queries), local)
        _report(label, args.queries, t_knn, c_workers + c_here, t_dens, good)
        print(f"  {'':<30} (CPU: workers {c_workers:.2f} s, this process {c_here:.2f} s); "
              f"results to the client {t_gather:.2f} s more, "
              f"{args.queries / (t_knn + t_gather):,.0f} rows/s overall; "
              f"tree scattered in {t_ship:.2f} s")
        return good

    if args.scheduler:
        with Client(args.scheduler) as client:
            ok &= on_cluster(client, f"scheduler {args.scheduler}")
    else:
        # A worker's statistical profiler wakes every 10 ms to sample a thread that sits in one
        # long search; measured here it cost the worker processes about a fifth more CPU.
        profiler = {"distributed.worker.profile.enabled": args.profile}
        for n in (int(p) for p in args.processes.split(",")):
            with dask.config.set(profiler), \
                    LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                 dashboard_address=None) as cluster, Client(cluster) as client:
                ok &= on_cluster(client, f"LocalCluster, {n} process{'es' if n > 1 else ''}")
    print("every result bit-identical to the single process" if ok else "MISMATCH")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
