"""Neighbours, densities and samples computed through Dask equal the single-process results bit
for bit, whatever the chunking, the scheduler and the number of worker processes."""

import pathlib
import sys

import dask
import numpy as np
import pytest
from distributed import Client, LocalCluster

from veltrix import random

# Worker processes start with this process's sys.path, so they import the example too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import dask_neighbors as dn  # noqa: E402

K, DIM, ROWS, BLOCK_ROWS = 4, 3, 1200, 500
BANDWIDTH = 0.3
# The sample's own blocks, and uneven chunks with an empty block among them.
CHUNKINGS = [None, ((300, 0, 700, 200), (DIM,))]


@pytest.fixture(scope="module")
def case():
    point_gen, query_gen = random.Generator.from_seed(16).spawn(2)
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


def test_local_cluster_matches_single_process(case):
    tree, queries, local, ref = case
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        tree_ref = dn.share_tree(tree, client)
        for chunks in CHUNKINGS:
            check(client.compute(list(graph(tree_ref, queries, chunks)), sync=True), local, ref)


@pytest.mark.parametrize("chunks, workers", list(zip(CHUNKINGS, [1, 2])))
def test_threaded_scheduler_matches_single_process(case, chunks, workers):
    tree, queries, local, ref = case
    parts = graph(dn.share_tree(tree), queries, chunks, workers)
    # Twice on the same graph: the generators in it must not be consumed by the first run.
    for _ in range(2):
        check(dask.compute(*parts, scheduler="threads", num_workers=2), local, ref)
