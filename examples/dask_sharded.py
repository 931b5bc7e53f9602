"""A point set larger than any worker's memory, searched as one tree split into shards on Dask.

    python examples/dask_sharded.py                         # 2e7 points, 1e6 queries; 1 and 2 processes
    python examples/dask_sharded.py --small                 # 2e5 points, 2e4 queries, every row checked
    python examples/dask_sharded.py --scheduler HOST:8786   # a running cluster instead

Needs ``pip install ".[dask]"``. The points never exist in one process of the cluster: each
shard's rows are drawn by a task on a worker, which builds the shard's tree from them and
keeps only the tree (``veltrix_dask.ShardedTree``). Every worker gets a memory limit below the
size of the point set. The points come in slabs along x (shard i holds x in [i/S, (i+1)/S)),
as data partitioned by region arrives; query blocks are slabs too, so a block visits the shard
under it and, for rows near a slab's edge, its neighbours.

The script prints the build and query times, the throughput, the bytes the workers sent
(Dask's own counters: to other workers and to this client), the shards visited per block, and
checks rows against one tree built over the same points in this process: kNN distances and
rows bit for bit, densities within the documented bound. Run with 1 and 2 processes (the
default), its last lines are the kNN throughput of 2 processes over 1, with the load average.
The cluster keeps trees where they were built: no work stealing, no spilling.
"""

import argparse
import copy
import os
import sys
import time
from collections import Counter

import dask
import dask.array as da
import numpy as np

import veltrix
import veltrix_dask

KINDS = {"kd": "KDTree", "ball": "BallTree", "vp": "VPTree"}
BANDWIDTH, KERNEL = 0.01, "epanechnikov"


def slab_sizes(rows, parts):
    return [rows // parts + (1 if i < rows % parts else 0) for i in range(parts)]


def _draw_slab(gen, rows, dim, slab, slabs):
    # A copy keeps the task pure: a lost worker's slab is drawn again, the same.
    x = copy.copy(gen).uniform(0.0, 1.0, [rows, dim]).to_numpy()
    x[:, 0] = (x[:, 0] + slab) / slabs
    return x


def slabs_dask(gen, rows, dim, parts):
    """rows points in `parts` slabs along x, one task (and one spawned generator) per slab."""
    gens = gen.spawn(parts)
    blocks = [da.from_delayed(dask.delayed(_draw_slab, pure=True)(g, n, dim, i, parts), (n, dim),
                              np.float64, meta=np.empty((0, 0), np.float64))
              for i, (g, n) in enumerate(zip(gens, slab_sizes(rows, parts)))]
    return da.concatenate(blocks), gens


def slabs_local(gens, rows, dim, parts):
    return np.concatenate([_draw_slab(g, n, dim, i, parts)
                           for i, (g, n) in enumerate(zip(gens, slab_sizes(rows, parts)))])


def worker_cpu(client):
    return sum(client.run(time.process_time).values())


def sent_bytes(client):
    return sum(client.run(lambda dask_worker: dask_worker.transfer_outgoing_bytes_total).values())


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def run(client, label, points, queries, rows, args):
    """Builds the sharded tree, then answers the query blocks a round at a time (results held
    in the workers' memory, as further Dask work would use them, then released); returns the
    answers at the checked `rows` and the kNN throughput."""
    from distributed import wait

    tree, t_build = timed(lambda: veltrix_dask.ShardedTree(points, kind=args.kind, client=client))
    wait(tree.trees())
    held = client.who_has(tree.trees())
    per_worker = sorted(Counter(min(held[t.key]) for t in tree.trees()).values(), reverse=True)
    ends = np.cumsum((0,) + queries.chunks[0])
    t_knn = t_dens = cpu_knn = cpu_here = 0.0
    sent, visits, got, order = 0, [], [], []
    # All blocks in one round by default: each runs on its nearest shard's worker, so the
    # workers share the blocks as they share the shards. With --rounds R, round r takes blocks
    # r, r + R, ... (results of a round released before the next, to bound memory).
    for first in range(min(args.rounds, queries.numblocks[0])):
        picked = list(range(first, queries.numblocks[0], args.rounds))
        q = da.concatenate([queries.blocks[i] for i in picked])
        starts = np.cumsum([0] + [ends[i + 1] - ends[i] for i in picked])
        sent0, cpu0, here0 = sent_bytes(client), worker_cpu(client), time.process_time()
        (dist, ind), t = timed(lambda: wait_all(client, *tree.query(q, args.k)))
        t_knn += t
        cpu_here += time.process_time() - here0
        cpu_knn += worker_cpu(client) - cpu0
        sent += sent_bytes(client) - sent0
        visits += [len(v) for v in tree.last_visits]
        mine = []
        for i, start in zip(picked, starts):
            at = rows[(rows >= ends[i]) & (rows < ends[i + 1])]
            order.append(at)
            mine.append(at - ends[i] + start)
        mine = np.concatenate(mine)
        # The checked rows, then the answers released before the densities: a worker holds
        # its shards and one kind of answer at a time.
        knn = dask.compute(dist[mine], ind[mine])
        del dist, ind
        (dens,), t = timed(lambda: wait_all(client, tree.density(q, BANDWIDTH, KERNEL)))
        t_dens += t
        got.append((*knn, dens[mine].compute()))
        del dens
    m = queries.shape[0]
    back = np.argsort(np.concatenate(order), kind="stable")
    print(f"  {label}: {tree.n_shards} shards built in {t_build:.1f} s; kNN (k = {args.k}) "
          f"{t_knn:.2f} s = {m / t_knn:,.0f} rows/s; densities {t_dens:.2f} s = {m / t_dens:,.0f} rows/s")
    print(f"  {'':{len(label)}}  shards visited per block: mean {np.mean(visits):.2f}, max {max(visits)} "
          f"of {tree.n_shards}; bytes sent by workers during kNN {sent / 1e6:.1f} MB "
          f"({sent / m:.0f} B per query row); worker CPU during kNN {cpu_knn:.2f} s "
          f"({cpu_knn / m * 1e6:.1f} us per row); shards per worker {per_worker}; CPU of this process "
          f"(client{' and scheduler' if client.cluster is not None else ''}) {cpu_here:.2f} s")
    return [np.concatenate(parts)[back] for parts in zip(*got)], m / t_knn


def wait_all(client, *arrays):
    from distributed import wait

    arrays = client.persist(list(arrays))
    wait(arrays)
    return arrays


def check(got, one, queries_local, rows, args):
    """The sharded answers at `rows` against one tree over all points in this process."""
    got_dist, got_ind, got_dens = got
    q = queries_local[rows]
    ref_dist, ref_ind = one.query(q, args.k)
    same = np.array_equal(got_dist.view(np.uint64), ref_dist.view(np.uint64))
    same_rows = all(set(a[d == v]) == set(b[e == v]) for a, b, d, e in zip(got_ind, ref_ind, got_dist, ref_dist)
                    for v in set(d))
    ref_dens = one.density(q, BANDWIDTH, KERNEL)
    n = args.points
    within = bool(np.all(np.abs(got_dens - ref_dens) <= n * np.finfo(float).eps * ref_dens))
    print(f"  checked {len(rows):,} rows against one tree over the {n:,} points: kNN distances "
          f"{'bit-identical' if same else 'DIFFER'}, rows {'the same' if same_rows else 'DIFFER'}; "
          f"densities {'within' if within else 'OUTSIDE'} n*eps relative "
          f"(max {np.max(np.abs(got_dens - ref_dens) / np.maximum(ref_dens, 1e-300)):.1e})")
    return same and same_rows and within


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=20_000_000)
    ap.add_argument("--queries", type=int, default=1_000_000)
    ap.add_argument("--shards", type=int, default=20)
    ap.add_argument("--blocks", type=int, default=20, help="query blocks (default 20)")
    ap.add_argument("--dim", type=int, default=3)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--kind", choices=sorted(KINDS), default="kd")
    ap.add_argument("--memory-limit", default="900MB", help="per worker process (default 900MB)")
    ap.add_argument("--rounds", type=int, default=1, help="query blocks answered in this many rounds")
    ap.add_argument("--processes", default="1,2", help="LocalCluster sizes, comma-separated")
    ap.add_argument("--check-rows", type=int, default=2_000, help="rows checked (all with --small)")
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--scheduler", help="address of a running scheduler to use instead")
    ap.add_argument("--small", action="store_true", help="reduced sizes, every row checked")
    args = ap.parse_args(argv)
    if args.small:
        args.points, args.queries, args.shards, args.blocks = 200_000, 20_000, 8, 8
        args.memory_limit = "1GB"

    point_gen, query_gen = veltrix.random.Generator.from_seed(args.seed).spawn(2)
    points, point_gens = slabs_dask(point_gen, args.points, args.dim, args.shards)
    queries, query_gens = slabs_dask(query_gen, args.queries, args.dim, args.blocks)
    print(f"{args.points:,} points in {args.dim}-d ({args.points * args.dim * 8 / 1e6:,.0f} MB of "
          f"coordinates) in {args.shards} shards; {args.queries:,} query rows in {args.blocks} blocks; "
          f"workers limited to {args.memory_limit} each")

    from distributed import Client, LocalCluster

    ok, rates = True, {}
    # Shards must stay where they were built: work stealing would ship a whole tree to an idle
    # worker for one block, and spilling would write trees to disk between blocks. A worker
    # still pauses at 80 % of its limit and is restarted at 95 %.
    config = {"distributed.worker.profile.enabled": False, "distributed.scheduler.work-stealing": False,
              "distributed.worker.memory.target": False, "distributed.worker.memory.spill": False}
    runs = ([("scheduler " + args.scheduler, None)] if args.scheduler else
            [(f"{n} process{'es' if n > 1 else ''}", n) for n in map(int, args.processes.split(","))])
    queries_local = slabs_local(query_gens, args.queries, args.dim, args.blocks)
    one = None  # the single-process tree, built once the clusters have shown their numbers
    rng = np.random.default_rng(args.seed)
    rows = (np.arange(args.queries) if args.small else
            np.sort(rng.choice(args.queries, min(args.check_rows, args.queries), replace=False)))
    for label, n in runs:
        with dask.config.set(config):
            if n is None:
                client, cluster = Client(args.scheduler), None
            else:
                # One process gets the memory of all of them: the same machine, split differently.
                limit = dask.utils.parse_bytes(args.memory_limit) * max(n for _, n in runs if n) // n
                cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, memory_limit=limit,
                                       dashboard_address=":0")
                client = Client(cluster)
            with client:
                q = client.persist(queries)  # drawn on the workers once
                got, rates[n] = run(client, label, points, q, rows, args)
                if one is None:
                    points_local = slabs_local(point_gens, args.points, args.dim, args.shards)
                    one = getattr(veltrix.spatial, KINDS[args.kind]).from_points(points_local)
                    del points_local
                ok &= check(got, one, queries_local, rows, args)
            if cluster is not None:
                cluster.close()
    if 1 in rates and 2 in rates:
        print(f"kNN throughput, 2 processes over 1: {rates[2] / rates[1]:.2f}x "
              f"(1 thread per process; load average {os.getloadavg()[0]:.1f} at the end)")
    print("all checked rows agree" if ok else "MISMATCH")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
