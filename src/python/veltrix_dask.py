"""Spatial trees sharded by rows over a Dask cluster.

``ShardedTree(points)`` builds one veltrix tree per row chunk of a float64 dask array, on the
worker that holds the chunk, and keeps it there. Queries go to the shards that can hold an
answer and come back merged by global row number. This module only arranges tasks: every
search is a veltrix tree method and every merge a private function of ``veltrix.spatial``.
"""

from __future__ import annotations

import dataclasses
import math
import operator
from typing import Any, Optional, Sequence, Union

try:
    import dask
    import dask.array as da
    import dask.bag as db
    import numpy as np
    from dask.sizeof import sizeof
    from distributed import Client, Future, worker_client
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError('veltrix_dask needs Dask: pip install "veltrix[dask]"') from exc

import veltrix

__all__ = ["ShardedTree"]

_CLASSES = {"kd": "KDTree", "ball": "BallTree", "vp": "VPTree"}
_ROWS_PER_BLOCK = 100_000  # blocks of a NumPy query array

Boxsize = Union[None, float, Sequence[float]]


def _tree_nbytes(tree: Any) -> int:
    # Dask places, moves and steals tasks by the sizes of their inputs; without this a tree
    # counts as a few hundred bytes, and a shard may be shipped to another worker to balance
    # work. Its pickled state (coordinates, rows, build data) stands for its size.
    return memoryview(tree.__reduce_ex__(5)[1][0]).nbytes


for _name in _CLASSES.values():
    sizeof.register(getattr(veltrix.spatial, _name))(_tree_nbytes)


# ---------------------------------------------------------------------------------------------
# Tasks: small, pure and module-level, so that they pickle by reference. Trees are reached as
# veltrix.spatial.<Class>: a bare submodule name may be another module on a worker.


def _tree_class(kind: str) -> Any:
    return getattr(veltrix.spatial, _CLASSES[kind])


def _build(chunk: np.ndarray, kind: str, leaf_size: int, metric: str, boxsize: Boxsize) -> Any:
    return _tree_class(kind).from_points(chunk, leaf_size=leaf_size, metric=metric, boxsize=boxsize)


def _bounds(block: np.ndarray) -> Optional[tuple[np.ndarray, np.ndarray]]:
    return veltrix.spatial._bounds(block)


def _bounds_and_reach(block: np.ndarray, r: Any) -> Optional[tuple[np.ndarray, np.ndarray, float]]:
    box = veltrix.spatial._bounds(block)
    if box is None:
        return None
    if np.ndim(r) == 0:
        return box[0], box[1], float(r)
    radii = veltrix.spatial._bounds(np.reshape(r, (-1, 1)))
    if radii is None or radii[0][0] < 0.0:
        raise ValueError("r must not be negative or NaN")
    return box[0], box[1], float(radii[1][0]) if len(r) else 0.0


def _knn_rows(tree: Any, rows: np.ndarray, k: int, size: int, bound: float) -> tuple[np.ndarray, np.ndarray]:
    return tree.query(rows, min(k, size), distance_upper_bound=bound)


@dataclasses.dataclass(frozen=True)
class _Shards:
    """What a block's task needs to know of every shard. An object of its own, so that Dask
    leaves it alone: a tree's key among a task's arguments would be replaced by the tree."""

    offsets: list[int]
    sizes: list[int]
    los: np.ndarray
    his: np.ndarray
    metric: str
    periods: Optional[list[float]]
    keys: list[Any]
    holders: list[Optional[list[str]]]


@dataclasses.dataclass(frozen=True)
class _Keys:
    """Keys a task looks up itself, hidden from Dask's argument substitution."""

    keys: list[Any]

    def __getitem__(self, i: int) -> Any:
        return self.keys[i]


def _knn_block(tree: Any, block: np.ndarray, k: int, n: int, bound: float, s0: int,
               shards: _Shards) -> tuple[np.ndarray, np.ndarray, tuple[int, ...]]:
    """One query block's k nearest over all shards, run on the worker holding shard s0.

    The block searches s0, then each further shard only with the rows whose k-th distance so
    far reaches its box. Those searches are submitted from here, next to the first answers,
    so the client waits for no round in between and a shard receives only the rows it must
    answer."""
    offsets, sizes, los, his = shards.offsets, shards.sizes, shards.los, shards.his
    metric, periods, keys = shards.metric, shards.periods, shards.keys
    m = len(block)
    d, r = tree.query(block, min(k, sizes[s0]), distance_upper_bound=bound)
    first = veltrix.spatial._merge_knn([(d, r, offsets[s0], sizes[s0], None)], m, k, n)
    kth = np.ascontiguousarray(first[0][:, k - 1])
    reach = min(_reach(kth), bound)
    box = veltrix.spatial._bounds(block)
    wanted = []
    for s in veltrix.spatial._box_gaps(los, his, box[0], box[1], metric, periods, reach):
        if s != s0 and sizes[s]:
            sel = veltrix.spatial._box_gaps(block, block, los[s], his[s], metric, periods, kth)
            if len(sel):
                wanted.append((int(s), sel))
    if not wanted:
        return first[0], first[1], (s0,)
    # worker_client secedes from the worker's thread pool while it waits, so this worker's
    # thread searches other blocks (or other blocks' rows for its own shards) meanwhile.
    with worker_client() as client:
        futures = [client.submit(_knn_rows, Future(keys[s], client), block[sel], k, sizes[s], bound, pure=False,
                                 workers=shards.holders[s], allow_other_workers=True)
                   for s, sel in wanted]
        found = client.gather(futures)
    parts = [(first[0], first[1], 0, n, None)]
    parts += [(fd, fr, offsets[s], sizes[s], sel) for (s, sel), (fd, fr) in zip(wanted, found)]
    merged = veltrix.spatial._merge_knn(parts, m, k, n)
    return merged[0], merged[1], (s0, *(s for s, _ in wanted))


def _reach(kth: np.ndarray) -> float:
    box = veltrix.spatial._bounds(np.reshape(kth, (-1, 1)))
    return float(box[1][0]) if len(kth) else 0.0


def _rows_reaching(block: np.ndarray, r: Any, box: tuple[np.ndarray, np.ndarray], metric: str,
                   periods: Optional[list[float]]) -> tuple[np.ndarray, np.ndarray, Any]:
    """The positions of the rows of ``block`` whose radius reaches ``box``, those rows and
    their radii: what one shard must answer."""
    sel = veltrix.spatial._box_gaps(block, block, box[0], box[1], metric, periods, r)
    return sel, block[sel], r if np.ndim(r) == 0 else r[sel]


def _ball_shard(tree: Any, picked: tuple, sort_results: bool, count_only: bool) -> Any:
    sel, rows, r = picked
    if count_only:
        return tree.query_ball_point(rows, r, count_only=True), sel
    if sort_results:
        found, dists = tree.query_ball_point(rows, r, return_distance=True, sort_results=True)
        return found, dists, sel
    return tree.query_ball_point(rows, r), None, sel


def _ball_merge(parts: list, offsets: list[int], m: int, sort_results: bool) -> list:
    found = [(rows, offset, dists, sel) for (rows, dists, sel), offset in zip(parts, offsets)]
    return veltrix.spatial._merge_lists(found, m, sort_results)


def _count_merge(parts: list, m: int) -> np.ndarray:
    return veltrix.spatial._add_counts_at(parts, m)


def _count_total(parts: list) -> np.ndarray:
    return veltrix.spatial._add_counts(parts)


def _pair_counts(tree: Any, block: np.ndarray, r: Any, weights: Optional[tuple]) -> np.ndarray:
    return np.asarray(tree.count_neighbors(block, r, weights=weights))


def _weight_sums(parts: list) -> np.ndarray:
    return veltrix.spatial._add_densities(parts)


def _density_shard(tree: Any, block: np.ndarray, bandwidth: float, kernel: str,
                   weights: Optional[np.ndarray]) -> np.ndarray:
    return tree.density(block, bandwidth, kernel, weights=weights)


def _weight_total(chunk: np.ndarray, start: float) -> float:
    return veltrix.spatial._weight_total(chunk, start)


def _density_log_rows(tree: Any, rows: np.ndarray, bandwidth: float, weights: Optional[np.ndarray]) -> np.ndarray:
    return tree.density(rows, bandwidth, "gaussian", weights=weights, log=True)


def _density_merge(parts: list, m: int, divisor: Optional[float], logs: Optional[tuple] = None) -> np.ndarray:
    if not parts:
        parts = [np.zeros(m)]
    if logs is None:
        return veltrix.spatial._add_densities(parts, divisor)
    block, bandwidth, log_norm, gaussian, shards, weights = logs
    out, deferred = veltrix.spatial._density_logs(veltrix.spatial._add_densities(parts), divisor, log_norm,
                                                  gaussian=gaussian)
    if len(deferred) == 0:
        return out
    # Gaussian sums that underflowed: each shard's log-sum-exp over its points for these rows,
    # then theirs over the shards, as one tree does over all its points.
    rows = block[deferred]
    with worker_client() as client:
        futures = [client.submit(_density_log_rows, Future(shards.keys[s], client), rows, bandwidth,
                                 None if weights is None else Future(weights[s], client), pure=False,
                                 workers=shards.holders[s], allow_other_workers=True)
                   for s in range(len(shards.keys)) if shards.sizes[s]]
        found = client.gather(futures)
    out[deferred] = veltrix.spatial._add_logs(found, log_norm)
    return out


# ---------------------------------------------------------------------------------------------


class ShardedTree:
    """One veltrix tree per row chunk of ``points``, built and kept on the workers.

    ``points`` is a float64 dask array of shape (n, d) chunked along rows only (call
    ``points.rechunk({1: -1})`` first otherwise); chunk i becomes shard i. Each shard's tree is
    built by a task next to its chunk and stays in the cluster as a persisted future; the
    client keeps each shard's first global row, size and bounding box. A lost worker's shards
    are rebuilt by Dask from ``points``. ``kind`` is "kd", "ball" or "vp"; ``leaf_size``,
    ``metric`` and ``boxsize`` are as for the tree classes. ``client`` defaults to the current
    ``distributed`` client.
    """

    def __init__(self, points: da.Array, *, kind: str = "kd", leaf_size: int = 20,
                 metric: str = "euclidean", boxsize: Boxsize = None,
                 client: Optional[Client] = None) -> None:
        if not isinstance(points, da.Array):
            raise TypeError(f"points must be a dask array, not {type(points).__name__}")
        if points.ndim != 2:
            raise ValueError(f"points must have two dimensions, not {points.ndim}")
        if points.dtype != np.float64:
            raise ValueError(f"points must be float64, not {points.dtype}")
        if len(points.chunks[1]) != 1:
            raise ValueError("points must be chunked along rows only; use points.rechunk({1: -1})")
        if kind not in _CLASSES:
            raise ValueError(f"Unknown tree kind '{kind}'. Valid options: 'kd', 'ball', 'vp'")
        self._client = client if client is not None else Client.current()
        self.dim = int(points.shape[1])
        self.kind, self.leaf_size, self.metric = kind, leaf_size, metric
        self.boxsize = boxsize
        # An empty tree on the client checks leaf_size, metric and boxsize with the trees' own
        # messages before any task is submitted.
        _build(np.empty((0, self.dim)), kind, leaf_size, metric, boxsize)
        self._periods = (None if boxsize is None else
                         [float(boxsize)] * self.dim if np.ndim(boxsize) == 0 else
                         [float(b) for b in boxsize])
        self.shard_sizes = [int(c) for c in points.chunks[0]]
        self.shard_offsets = [0]
        for size in self.shard_sizes[:-1]:
            self.shard_offsets.append(self.shard_offsets[-1] + size)
        self.n_points = sum(self.shard_sizes)
        self._graphs = []
        boxes = []
        for chunk in points.to_delayed().ravel():
            self._graphs.append(dask.delayed(_build, pure=True)(chunk, kind, leaf_size, metric, boxsize))
            boxes.append(dask.delayed(_bounds, pure=True)(chunk))
        # Tree and box of a shard in one graph: its chunk is computed once, on one worker.
        futures = self._client.compute(self._graphs + boxes)
        self._trees: list[Future] = futures[:len(self._graphs)]
        found = self._client.gather(futures[len(self._graphs):])
        if any(b is None for b in found):
            raise ValueError("points must not contain NaN")
        self.shard_boxes: list[tuple[np.ndarray, np.ndarray]] = found
        self._los = np.stack([b[0] for b in found]) if found else np.empty((0, self.dim))
        self._his = np.stack([b[1] for b in found]) if found else np.empty((0, self.dim))
        self._visit_parts: list[Future] = []
        self._visits: Optional[list[tuple[int, ...]]] = None

    @property
    def last_visits(self) -> list[tuple[int, ...]]:
        """Shards visited by each block of the last ``query``, nearest first (waits for them)."""
        if self._visits is None:
            self._visits = [tuple(v) for v in self._client.gather(self._visit_parts)]
            self._visit_parts = []
        return self._visits

    @property
    def n_shards(self) -> int:
        return len(self._trees)

    def __repr__(self) -> str:
        return (f"ShardedTree(kind={self.kind!r}, n_points={self.n_points}, dim={self.dim}, "
                f"n_shards={self.n_shards})")

    # -----------------------------------------------------------------------------------------

    def trees(self) -> list[Future]:
        """The shard trees as futures; a shard lost to ``client.restart()`` is built again."""
        for i, f in enumerate(self._trees):
            if f.status in ("cancelled", "lost", "error"):
                self._trees[i] = self._client.compute(self._graphs[i])
        return self._trees

    def _holders(self, trees: list[Future]) -> list[Optional[list[str]]]:
        """The workers holding each tree (None for one not built yet)."""
        who = self._client.who_has(trees)
        return [sorted(who.get(t.key, ())) or None for t in trees]

    def _queries(self, Q: Any) -> da.Array:
        if isinstance(Q, np.ndarray):
            Q = da.from_array(Q, chunks=(min(max(len(Q), 1), _ROWS_PER_BLOCK), -1))
        if not isinstance(Q, da.Array):
            raise TypeError(f"Q must be a dask or NumPy array, not {type(Q).__name__}")
        if Q.ndim != 2:
            raise ValueError(f"Q must have two dimensions, not {Q.ndim}")
        if Q.dtype != np.float64:
            raise ValueError(f"Q must be float64, not {Q.dtype}")
        if Q.shape[1] != self.dim:
            raise ValueError(f"Q rows have {Q.shape[1]} coordinates but the tree's dimension is {self.dim}")
        if len(Q.chunks[1]) != 1:
            raise ValueError("Q must be chunked along rows only; use Q.rechunk({1: -1})")
        return Q

    def _blocks(self, Q: da.Array, r: Any = None) -> tuple[list, list]:
        """Q's blocks (persisted) and each block's box, and its largest radius when r is given;
        NaN is refused here, before any search is submitted."""
        # Futures, not keys: the tasks built on them hold them, so the blocks stay (and come
        # back after a lost worker) until the last result that needs them is computed.
        blocks = self._client.compute(list(Q.to_delayed().ravel()))
        if r is None:
            tasks = [dask.delayed(_bounds, pure=True)(b) for b in blocks]
        else:
            rs = [r] * len(blocks) if np.ndim(r) == 0 else list(r.to_delayed().ravel())
            tasks = [dask.delayed(_bounds_and_reach, pure=True)(b, rb) for b, rb in zip(blocks, rs)]
        boxes = self._client.gather(self._client.compute(tasks))
        if any(b is None for b in boxes):
            raise ValueError("queries must not contain NaN")
        return blocks, boxes

    def _gaps(self, box: tuple, reach: Optional[float] = None) -> Any:
        """Each shard's gap from ``box``; with ``reach``, the shards (ascending) within it."""
        return veltrix.spatial._box_gaps(self._los, self._his, box[0], box[1], self.metric, self._periods,
                                         reach)

    def _near(self, box: tuple, reach: float) -> list[int]:
        return [int(s) for s in self._gaps(box, reach) if self.shard_sizes[s]]

    def _radii(self, Q: da.Array, r: Any) -> Any:
        if np.ndim(r) == 0:
            r = float(r)
            if not r >= 0.0:
                raise ValueError("r must not be negative or NaN")
            return r
        r = da.asarray(r)
        if r.ndim != 1 or r.shape[0] != Q.shape[0]:
            raise ValueError(f"r holds {r.size} radii for {Q.shape[0]} query rows")
        return r.astype(np.float64).rechunk((Q.chunks[0],))

    # -----------------------------------------------------------------------------------------

    def query(self, Q: Any, k: int = 1, *,
              distance_upper_bound: float = math.inf) -> tuple[da.Array, da.Array]:
        """The k nearest points of each row of ``Q`` over all shards.

        Returns ``(distances, indices)``, dask arrays of shape (m, k) chunked like ``Q``;
        indices are global rows (positions in ``points``). Each block of ``Q`` first searches
        the shard whose box is nearest to it, then only the shards whose box lies within its
        rows' k-th distance so far, each with only the rows that reach it; the answers are
        merged by (distance, global row). The distances equal one tree's over all points bit
        for bit, and the rows agree as sets within each run of equal distances; in such a run
        the order is by global row (one tree orders it by its heap's steps). Missing places
        (``distance_upper_bound``) hold distance inf and index ``n_points``. The searches are
        submitted now, one task per block on the worker of its nearest shard (as
        ``client.persist`` would); the arrays hold their futures.
        """
        Q = self._queries(Q)
        k = operator.index(k)
        if k < 0:
            raise ValueError(f"k must not be negative, got {k}")
        if k > self.n_points:
            raise ValueError(f"k is {k} but the tree holds only {self.n_points} points")
        bound = float(distance_upper_bound)
        if math.isnan(bound):
            raise ValueError("distance_upper_bound must not be NaN")
        if k == 0 or Q.shape[0] == 0:
            self._visit_parts, self._visits = [], []
            return (da.zeros((Q.shape[0], k), chunks=(Q.chunks[0], k)),
                    da.zeros((Q.shape[0], k), np.int64, chunks=(Q.chunks[0], k)))
        blocks, boxes = self._blocks(Q)
        trees, n = self.trees(), self.n_points
        # Each task is pinned to the worker holding its tree (loosely: a lost worker's tasks go
        # wherever Dask rebuilds the tree). Left free, the scheduler weighs a tree's transfer
        # against a busy worker's queue and now and then ships a whole tree for one block.
        holders = self._holders(trees)
        plan = _Shards(self.shard_offsets, self.shard_sizes, self._los, self._his, self.metric, self._periods,
                       [t.key for t in trees], holders)
        found = []
        for block, box in zip(blocks, boxes):
            gaps = self._gaps(box)
            # The nearest non-empty shard; the lowest index among equal gaps.
            s0 = min((s for s in range(self.n_shards) if self.shard_sizes[s]), key=lambda s: gaps[s])
            found.append(self._client.submit(_knn_block, trees[s0], block, k, n, bound, s0, plan, pure=True,
                                             workers=holders[s0], allow_other_workers=True))
        # Tiny tasks of their own: holding the blocks' futures here would keep their answers.
        self._visit_parts = [self._client.submit(operator.getitem, f, 2, pure=True) for f in found]
        self._visits = None
        dist_blocks, row_blocks = [], []
        for f, m in zip(found, Q.chunks[0]):
            dist_blocks.append(da.from_delayed(dask.delayed(operator.getitem, pure=True)(f, 0), (m, k), np.float64,
                                               meta=np.empty((0, 0), np.float64)))
            row_blocks.append(da.from_delayed(dask.delayed(operator.getitem, pure=True)(f, 1), (m, k), np.int64,
                                              meta=np.empty((0, 0), np.int64)))
        return da.concatenate(dist_blocks), da.concatenate(row_blocks)

    def query_ball_point(self, Q: Any, r: Any, *, sort_results: bool = False,
                         count_only: bool = False) -> Union[db.Bag, da.Array]:
        """The points within ``r`` (one radius, or one per row of ``Q``) of each row of ``Q``.

        With ``count_only``, their numbers: an int64 dask array chunked like ``Q``, equal to one
        tree's. Otherwise a dask bag of one int64 array of global rows per query row, one
        partition per block of ``Q``: the shards' lists one after another in shard order (equal
        as sets to one tree's), or with ``sort_results`` ordered by distance and then row
        (identical to one tree's). A block visits only the shards whose box lies within its
        largest radius, and sends each only the rows whose own radius reaches its box. The
        searches are submitted now, each on its tree's worker; the result holds their futures.
        """
        Q = self._queries(Q)
        r = self._radii(Q, r)
        blocks, boxes = self._blocks(Q, r)
        trees = self.trees()
        holders = self._holders(trees)
        rs = [r] * len(blocks) if np.ndim(r) == 0 else self._futures(list(r.to_delayed().ravel()))
        out = []
        for block, box, rb, m in zip(blocks, boxes, rs, Q.chunks[0]):
            near = self._near(box[:2], box[2])
            # Each shard gets only the rows whose own radius reaches its box, picked next to
            # the block; its search is pinned to its tree's worker. Submitted now.
            parts = []
            for s in near:
                picked = self._client.submit(_rows_reaching, block, rb, self.shard_boxes[s], self.metric,
                                             self._periods, pure=True)
                parts.append(self._client.submit(_ball_shard, trees[s], picked, sort_results, count_only, pure=True,
                                                 workers=holders[s], allow_other_workers=True))
            if count_only:
                merged = self._client.submit(_count_merge, parts, m, pure=True)
                out.append(da.from_delayed(dask.delayed(merged), (m,), np.int64, meta=np.empty((0,), np.int64)))
            else:
                offsets = [self.shard_offsets[s] for s in near]
                out.append(dask.delayed(self._client.submit(_ball_merge, parts, offsets, m, sort_results, pure=True)))
        if count_only:
            return da.concatenate(out) if out else da.zeros((0,), np.int64)
        return db.from_delayed(out)

    def count_neighbors(self, Q: Any, r: Any, *, weights: Optional[tuple[Any, Any]] = None
                        ) -> Union[int, float, np.ndarray]:
        """The number of pairs (point, query row) within ``r``: one count for one radius, one
        per radius (cumulative, as ``count_neighbors`` of the trees) for an increasing
        sequence of radii. Integer counts, equal to one tree's.

        ``weights``: None, or ``(w_points, w_queries)``, one value per point / per row of
        ``Q`` (dask or NumPy arrays, either may be None for all ones), as for the trees: the
        result is then the float64 sum of w_point * w_query over the counted pairs. Each
        (shard, query block) pair's sum comes from the shard's tree; they are added from 0.0 in
        shard order and, within a shard, in block order, so the bits are the same for every
        number of workers and task order given the chunkings of ``points`` and ``Q``; pairs
        of shard and block out of reach add nothing."""
        Q = self._queries(Q)
        radii = np.asarray(r, np.float64)
        if radii.ndim > 1 or np.isnan(radii).any() or (radii < 0).any():
            raise ValueError("r must be one radius or a sequence of radii, none negative or NaN")
        reach = float(veltrix.spatial._bounds(radii.reshape(-1, 1))[1][0]) if radii.size else 0.0
        point_w: list = [None] * self.n_shards
        query_w: list = [None] * Q.numblocks[0]
        if weights is not None:
            if not isinstance(weights, tuple) or len(weights) != 2:
                raise ValueError("weights must be a pair (w_points, w_queries), either of which may be None")
            if weights[0] is not None:
                point_w = self._per_row(weights[0], self.n_points, "w_points", self.shard_sizes)
            if weights[1] is not None:
                query_w = self._per_row(weights[1], Q.shape[0], "w_queries", Q.chunks[0])
        blocks, boxes = self._blocks(Q)
        trees = self.trees()
        holders = self._holders(trees)
        if weights is not None:
            point_w, query_w = self._futures(point_w), self._futures(query_w)
        near = [self._near(box, reach) for box in boxes]
        # Shard order outside, block order inside: the order of the weighted sums.
        parts = [self._client.submit(_pair_counts, trees[s], block, r,
                                     None if weights is None else (point_w[s], query_w[b]),
                                     pure=True, workers=holders[s], allow_other_workers=True)
                 for s in range(self.n_shards) for b, block in enumerate(blocks) if s in near[b]]
        if weights is None:
            if not parts:
                return np.zeros(radii.shape, np.int64) if radii.ndim else 0
            total = self._client.submit(_count_total, parts, pure=True).result()
            return total if radii.ndim else int(total)
        if not parts:
            return np.zeros(radii.shape) if radii.ndim else 0.0
        total = self._client.submit(_weight_sums, parts, pure=True).result()
        return total if radii.ndim else float(total)

    def _futures(self, pieces: list) -> list:
        """The delayed pieces computed (started now), None left as None."""
        started = iter(self._client.compute([p for p in pieces if p is not None]))
        return [None if p is None else next(started) for p in pieces]

    def _per_row(self, w: Any, n: int, name: str, chunks: Sequence[int]) -> list:
        """A per-row weight array cut like ``chunks``, one delayed piece per chunk."""
        w = da.asarray(w)
        if w.shape != (n,):
            raise ValueError(f"{name} holds {w.size} values for {n} rows")
        return list(w.astype(np.float64).rechunk((tuple(chunks),)).to_delayed().ravel())

    def density(self, Q: Any, bandwidth: float, kernel: str = "gaussian", *,
                weights: Any = None, normalize: bool = False, log: bool = False) -> da.Array:
        """Kernel density sums at the rows of ``Q`` over all points, a float64 dask array
        chunked like ``Q``.

        Each shard's sum comes from its tree's ``density``; they are added in shard order, so
        the result is the same to the last bit for every number of workers and threads and
        every task order, given the chunking of ``points``. It differs from one tree's sum
        over all points by a few units of n·ε relative: a sum's bits depend on its order.
        Shards no kernel of compact support reaches from a block are skipped (they add
        exactly +0.0). ``weights`` (a dask or NumPy array of n_points values, one per point)
        and ``normalize`` pass to the shard trees. ``log=True`` gives the natural logarithm of
        the shard-ordered sum where it is a normal number; a Gaussian sum that underflowed is
        recomputed as a log-sum-exp over every point (each shard's over its points, then
        theirs in shard order), so it stays finite; bounded kernels give -inf out of reach.
        The shard sums are submitted now, each on its tree's worker (as ``client.persist``
        would start them); the array holds their futures.
        """
        Q = self._queries(Q)
        bandwidth = float(bandwidth)
        if not bandwidth > 0.0:
            raise ValueError("bandwidth must be positive")
        kernel_name = str(kernel).lower()
        if kernel_name not in ("gaussian", "epanechnikov", "uniform", "triangular"):
            raise ValueError(f"Unknown kernel type '{kernel}'. Valid options: 'gaussian', "
                             "'epanechnikov', 'uniform', 'triangular'")
        chunks: list = [None] * self.n_shards
        if weights is not None:
            w = da.asarray(weights)
            if w.shape != (self.n_points,):
                raise ValueError(f"weights holds {w.size} values but the tree holds {self.n_points} points")
            chunks = list(w.astype(np.float64).rechunk((tuple(self.shard_sizes),)).to_delayed().ravel())
        divisor, log_norm = None, 0.0
        if normalize:
            total = float(self.n_points)
            if weights is not None:
                # One running sum through the shards in row order: the bits of one tree's total.
                running: Any = 0.0
                for chunk in chunks:
                    running = dask.delayed(_weight_total, pure=True)(chunk, running)
                total = self._client.compute(running).result()
            if not total > 0.0:
                raise ValueError("normalize=True needs a positive total weight, but the weights (or the "
                                 "points) sum to 0")
            divisor = veltrix.spatial._density_divisor(total, bandwidth, kernel_name, self.metric, self.dim)
            log_norm = veltrix.spatial._density_log_norm(total, bandwidth, kernel_name, self.metric, self.dim)
        blocks, boxes = self._blocks(Q)
        trees = self.trees()
        holders = self._holders(trees)
        if weights is not None:
            chunks = self._client.compute(chunks)
        if log and kernel_name == "gaussian":
            # Underflowed rows are searched again from the merge, by key: the weights too.
            plan = _Shards(self.shard_offsets, self.shard_sizes, self._los, self._his, self.metric,
                           self._periods, [t.key for t in trees], holders)
            weight_keys = None if weights is None else _Keys([c.key for c in chunks])
        out = []
        for block, box, m in zip(blocks, boxes, Q.chunks[0]):
            if kernel_name == "gaussian":
                near = range(self.n_shards)
            else:
                gaps = self._gaps(box)
                near = [s for s in range(self.n_shards) if gaps[s] < bandwidth]
            # Submitted now, each pinned to its tree's worker as the kNN searches are.
            parts = [self._client.submit(_density_shard, trees[s], block, bandwidth, kernel_name, chunks[s],
                                         pure=True, workers=holders[s], allow_other_workers=True)
                     for s in near if self.shard_sizes[s]]
            logs = None
            if log:
                logs = ((block, bandwidth, log_norm, True, plan, weight_keys) if kernel_name == "gaussian" else
                        (None, bandwidth, log_norm, False, None, None))
            merged = self._client.submit(_density_merge, parts, m, divisor, logs, pure=True)
            out.append(da.from_delayed(dask.delayed(merged), (m,), np.float64, meta=np.empty((0,), np.float64)))
        return da.concatenate(out) if out else da.zeros((0,), np.float64)

