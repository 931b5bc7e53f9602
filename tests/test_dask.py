"""Neighbours, densities and samples computed through Dask equal the single-process results bit
for bit, whatever the chunking, the scheduler and the number of worker processes."""

import pathlib
import subprocess
import sys

import dask
import numpy as np
import pytest
from distributed import Client, LocalCluster, wait

import veltrix

# Worker processes start with this process's sys.path, so they import the example too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import dask_neighbors as dn  # noqa: E402

K, DIM, ROWS, BLOCK_ROWS = 4, 3, 1200, 500
BANDWIDTH = 0.3
# The sample's own blocks, and uneven chunks with an empty block among them.
CHUNKINGS = [None, ((300, 0, 700, 200), (DIM,))]


@pytest.fixture(scope="module")
def case():
    point_gen, query_gen = veltrix.random.Generator.from_seed(16).spawn(2)
    points = point_gen.uniform(0.0, 1.0, [800, DIM]).to_numpy()
    # Random vantage points: a rebuilt tree would answer differently from the shipped one.
    tree = dn.build_tree(points, "vp", leaf_size=8)
    blocks = dn.sample_blocks(query_gen, ROWS, BLOCK_ROWS)
    local = dn.sample_local(blocks, DIM)
    ref = (*tree.query(local, K), tree.density(local, BANDWIDTH))
    return tree, dn.sample_dask(blocks, DIM), local, ref


def graph(tree_ref, queries, chunks, workers=1):
    if chunks is not None:
        queries = queries.rechunk(chunks)
    return (*dn.knn(tree_ref, queries, K, workers), dn.density(tree_ref, queries, BANDWIDTH,
                                                               workers=workers), queries)


def check(got, local, ref):
    *results, sample = got
    assert dn.same_bits(sample, local)
    for a, b in zip(results, ref):
        assert dn.same_bits(a, b)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as c:
        yield c


def test_local_cluster_matches_single_process(case, client):
    tree, queries, local, ref = case
    tree_ref = dn.share_tree(tree, client)
    for chunks in CHUNKINGS:
        check(client.compute(list(graph(tree_ref, queries, chunks)), sync=True), local, ref)


def test_shipped_function_reaches_veltrix_through_the_module(client):
    # Defined here, so the function travels by value, with its globals by name: `veltrix` is
    # importable on every worker, and the classes and submodules are reached through it.
    def task(seed):
        points = veltrix.random.Generator.from_seed(seed).uniform(0.0, 1.0, [200, 2])
        tree = veltrix.spatial.KDTree.from_array(points, 8)
        return tree.query(points.to_numpy()[:5], 3)

    futures = client.map(task, [1, 2])
    wait(futures, timeout=30)
    for seed, (dist, ind) in zip([1, 2], client.gather(futures)):
        want_dist, want_ind = task(seed)
        assert dn.same_bits(dist, want_dist) and dn.same_bits(ind, want_ind)


def test_internal_error_reaches_the_client(client):
    def task():
        return veltrix.random.seed(0).uniform(1.0, 1.0, [3])

    future = client.submit(task, pure=False)
    wait(future, timeout=30)  # raises TimeoutError rather than hanging
    assert future.status == "error"
    # The synchronous client's result() and gather() re-raise only Exception subclasses, so
    # the internal error (a BaseException) is read with exception().
    exc = future.exception(timeout=30)
    with pytest.raises(BaseException) as info:
        task()
    assert type(exc) is type(info.value) and exc.args == ("low must be less than high",)


@pytest.mark.parametrize("chunks, workers", list(zip(CHUNKINGS, [1, 2])))
def test_threaded_scheduler_matches_single_process(case, chunks, workers):
    tree, queries, local, ref = case
    parts = graph(dn.share_tree(tree), queries, chunks, workers)
    # Twice on the same graph: the generators in it must not be consumed by the first run.
    for _ in range(2):
        check(dask.compute(*parts, scheduler="threads", num_workers=2), local, ref)


# ---------------------------------------------------------------------------------------------
# Sharded trees: one tree per row chunk of the points, answers merged by global row.

import dask.array as da  # noqa: E402

import veltrix_dask  # noqa: E402
from veltrix import spatial  # noqa: E402

KINDS = {"kd": spatial.KDTree, "ball": spatial.BallTree, "vp": spatial.VPTree}
# Uneven shards with an empty one; points sorted along x so that shards cover slabs and the
# blocks of sorted queries can skip some of them.
SHARD_ROWS = ((400, 0, 500, 600), (DIM,))
QUERY_ROWS = ((100, 150, 50), (DIM,))


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as c, Client(c) as client:
        yield client


@pytest.fixture(scope="module")
def sharded_case():
    rng = np.random.default_rng(26)
    points = rng.random((sum(SHARD_ROWS[0]), DIM))
    queries = rng.random((sum(QUERY_ROWS[0]), DIM))
    return points[np.argsort(points[:, 0])], queries[np.argsort(queries[:, 0])]


def one_tree(kind, points, leaf_size=8, boxsize=None):
    return KINDS[kind].from_points(points, leaf_size=leaf_size, boxsize=boxsize)


def searches_run(client):
    prefixes = client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.task_prefixes))
    return [p for p in prefixes if p.startswith(("_knn", "_ball", "_density", "_pair"))]


@pytest.mark.parametrize("boxsize", [None, 1.0], ids=["open", "periodic"])
@pytest.mark.parametrize("kind", sorted(KINDS))
def test_sharded_tree_matches_one_tree(cluster, sharded_case, kind, boxsize):
    points, queries = sharded_case
    tree = veltrix_dask.ShardedTree(da.from_array(points, chunks=SHARD_ROWS), kind=kind, leaf_size=8,
                                    boxsize=boxsize)
    ref = one_tree(kind, points, boxsize=boxsize)
    Q = da.from_array(queries, chunks=QUERY_ROWS)

    for bound in (np.inf, 0.06):
        dist, ind = cluster.compute(list(tree.query(Q, K, distance_upper_bound=bound)), sync=True)
        ref_dist, ref_ind = ref.query(queries, K, distance_upper_bound=bound)
        assert dn.same_bits(dist, ref_dist) and dn.same_bits(ind, ref_ind)
        # The boxes kept some shards out of some blocks (across the box's seam too).
        assert any(len(v) < 3 for v in tree.last_visits)

    r = 0.15
    counts = tree.query_ball_point(Q, r, count_only=True).compute()
    assert dn.same_bits(counts, ref.query_ball_point(queries, r, count_only=True))
    got = tree.query_ball_point(Q, r, sort_results=True).compute()
    want = ref.query_ball_point(queries, r, sort_results=True)
    assert len(got) == len(want) and all(dn.same_bits(a, b) for a, b in zip(got, want))
    # One radius per row: a shard gets only the rows whose own radius reaches it.
    radii = np.random.default_rng(3).random(len(queries)) * 2 * r
    got = tree.query_ball_point(Q, radii).compute()
    want = ref.query_ball_point(queries, radii, sort_results=True)
    assert all(sorted(a) == sorted(b) for a, b in zip(got, want))
    got = tree.query_ball_point(Q, radii, sort_results=True).compute()
    assert all(dn.same_bits(a, b) for a, b in zip(got, want))
    assert dn.same_bits(tree.query_ball_point(Q, radii, count_only=True).compute(),
                        ref.query_ball_point(queries, radii, count_only=True))
    weights = (np.linspace(0.5, 1.5, len(points)), None)
    for radii in (r, [0.05, 0.1, r]):
        assert dn.same_bits(np.asarray(tree.count_neighbors(Q, radii)),
                            np.asarray(ref.count_neighbors(queries, radii)))
        # Weighted sums: added in another order than one tree's.
        got, want = tree.count_neighbors(Q, radii, weights=weights), ref.count_neighbors(queries, radii, weights=weights)
        assert np.all(np.abs(np.asarray(got) - want) <= len(points) * np.finfo(float).eps * np.asarray(want))


def test_sharded_density_same_bits_for_any_worker_count(cluster, sharded_case):
    points, queries = sharded_case
    P, Q = da.from_array(points, chunks=SHARD_ROWS), da.from_array(queries, chunks=QUERY_ROWS)
    ref = one_tree("kd", points)
    weights = np.random.default_rng(7).random(len(points))
    cases = [("gaussian", None, False), ("epanechnikov", None, False), ("gaussian", weights, True)]
    sharded = veltrix_dask.ShardedTree(P, client=cluster)
    two = [(case, sharded.density(Q, 0.2, case[0], weights=case[1], normalize=case[2]).compute())
           for case in cases]
    # Logs: rows far from every point, where a Gaussian sum underflows and every shard adds
    # its log-sum-exp, beside ordinary ones.
    far = np.concatenate([queries[:50] + 40.0, queries[50:]])
    F = da.from_array(far, chunks=QUERY_ROWS)
    logs = [(case, *dask.compute(sharded.density(F, 0.2, case[0], weights=case[1], normalize=case[2], log=True),
                                 sharded.density(F, 0.2, case[0], weights=case[1], normalize=case[2])))
            for case in cases]
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                      dashboard_address=":0") as c, Client(c) as client:
        tree = veltrix_dask.ShardedTree(P, client=client)
        for (kernel, w, normalize), got in two:
            # Other query blocks too: a block never changes a row's sum.
            again = tree.density(Q.rechunk(70), 0.2, kernel, weights=w, normalize=normalize)
            assert dn.same_bits(got, again.compute(scheduler=client))
            # A sum's bits follow its order; the trees also drop Gaussian terms below 1e-10.
            want = ref.density(queries, 0.2, kernel, weights=w, normalize=normalize)
            n = len(points)
            assert np.all(np.abs(got - want) <= n * np.finfo(float).eps * want + n * 1e-10)
        for (kernel, w, normalize), got, plain in logs:
            again = tree.density(F.rechunk(70), 0.2, kernel, weights=w, normalize=normalize, log=True)
            assert dn.same_bits(got, again.compute(scheduler=client))
            # The log of the sum where it is normal; where it underflowed, one tree's
            # log-sum-exp over all points but for the order of its sum.
            normal = plain >= np.finfo(float).tiny
            assert np.all(np.abs(got[normal] - np.log(plain[normal])) <= 4e-16 * np.maximum(1.0, np.abs(got[normal])))
            want = ref.density(far, 0.2, kernel, weights=w, normalize=normalize, log=True)
            assert np.all(normal[50:]) and not np.any(normal[:50])
            if kernel == "gaussian":
                assert np.all(np.abs(got[:50] - want[:50]) <= 1e-12 * np.abs(want[:50]))
            else:
                assert np.all(got[:50] == -np.inf) and np.all(want[:50] == -np.inf)


@pytest.mark.parametrize("fault, message", [
    (lambda P, Q: veltrix_dask.ShardedTree(P.rechunk((400, 1))),
     "points must be chunked along rows only; use points.rechunk({1: -1})"),
    (lambda P, Q: veltrix_dask.ShardedTree(P.astype(np.float32)), "points must be float64, not float32"),
    (lambda P, Q: veltrix_dask.ShardedTree(P, kind="octree"),
     "Unknown tree kind 'octree'. Valid options: 'kd', 'ball', 'vp'"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).query(Q[:, :2], 1),
     "Q rows have 2 coordinates but the tree's dimension is 3"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).query(Q.astype(np.float32), 1), "Q must be float64, not float32"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).query(Q, 1501), "k is 1501 but the tree holds only 1500 points"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).query(da.where(Q > 0.9, np.nan, Q), 1),
     "queries must not contain NaN"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).density(da.where(Q > 0.9, np.nan, Q), 0.1),
     "queries must not contain NaN"),
    (lambda P, Q: veltrix_dask.ShardedTree(P).query_ball_point(Q, -1.0), "r must not be negative or NaN"),
])
def test_sharded_errors_before_any_search(cluster, sharded_case, fault, message):
    points, queries = sharded_case
    P, Q = da.from_array(points, chunks=SHARD_ROWS), da.from_array(queries, chunks=QUERY_ROWS)
    before = searches_run(cluster)
    with pytest.raises(ValueError) as err:
        fault(P, Q)
    assert str(err.value) == message
    assert searches_run(cluster) == before


def test_sharded_query_survives_a_worker_restart(cluster, sharded_case):
    points, queries = sharded_case
    tree = veltrix_dask.ShardedTree(da.from_array(points, chunks=SHARD_ROWS), kind="vp", leaf_size=8)
    ref_dist, ref_ind = one_tree("vp", points).query(queries, K)
    dist, ind = tree.query(da.from_array(queries, chunks=QUERY_ROWS), K)
    # A worker's shards and first answers are lost; Dask builds them again from the points.
    cluster.restart_workers([next(iter(cluster.scheduler_info()["workers"]))])
    dist, ind = cluster.compute([dist, ind], sync=True)
    assert dn.same_bits(dist, ref_dist) and dn.same_bits(ind, ref_ind)


def test_sharded_guide_code_runs():
    # In a process of its own: the guide starts and stops a cluster inside the interpreter.
    guide = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide" / "sharded.md"
    code = "".join(block.split("```", 1)[0] for block in guide.read_text().split("```python\n")[1:])
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-3000:]


def test_sharded_module_names_the_extra_when_dask_is_missing():
    code = ("import sys; sys.modules['dask'] = None\n"
            "try:\n    import veltrix_dask\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout
    assert out == 'veltrix_dask needs Dask: pip install "veltrix[dask]"\n'
