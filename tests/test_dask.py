"""Neighbours, densities and samples computed through Dask equal the single-process results bit
for bit, whatever the chunking, the scheduler and the number of worker processes."""

import pathlib
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
