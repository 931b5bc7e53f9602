"""Objects that travel: pickles and copies of every class, the NumPy array protocol, and the
jumped and spawned streams of Generator."""

import copy
import math
import multiprocessing
import pickle
import re
import struct

import numpy as np
import pytest

import veltrix

SP = veltrix.spatial
MASK = (1 << 64) - 1
JUMP = (0x180EC6D33CFD0ABA, 0xD5A61266F0C9392C, 0xA9582618E03FC9AA, 0x39ABDC4529B1661C)

TRAVELS = [copy.copy, copy.deepcopy] + [
    (lambda p: lambda x: pickle.loads(pickle.dumps(x, protocol=p)))(p) for p in range(pickle.HIGHEST_PROTOCOL + 1)
]
TRAVEL_IDS = ["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)]

# Signed zeros, infinities and NaNs with payloads and signs: every bit must survive.
SPECIAL = [-0.0, 0.0, math.inf, -math.inf, 1.5e-320] + [
    struct.unpack("<d", struct.pack("<Q", w))[0] for w in (0x7FF8000000000001, 0xFFF4000000000ABC)
]


def raw(a):
    return a.to_numpy().tobytes()


def words(g):
    """The four state words, as the pickle carries them."""
    return g.__reduce__()[1]


# ---------------------------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("travel", TRAVELS, ids=TRAVEL_IDS)
@pytest.mark.parametrize("shape", [[], [0], [3, 0], [7], [2, 3], [1, 2, 4]])
def test_array_round_trip_keeps_shape_and_bits(travel, shape):
    n = math.prod(shape)
    a = veltrix.Array(shape, [SPECIAL[i % len(SPECIAL)] for i in range(n)])
    b = travel(a)
    assert type(b) is veltrix.Array and b is not a
    assert b.shape == shape and raw(b) == raw(a)
    if n:
        b[(0,) * len(shape)] = 42.0  # an independent copy
        assert raw(a) != raw(b)


@pytest.mark.parametrize("travel", TRAVELS, ids=TRAVEL_IDS)
def test_generator_round_trip_continues_the_stream(travel):
    g = veltrix.random.seed(99)
    g.uniform(0.0, 1.0, [5])
    h = travel(g)
    assert raw(h.standard_normal([7])) == raw(g.standard_normal([7]))
    h.uniform(0.0, 1.0, [3])  # the copy draws alone
    assert words(g) != words(h)


def tree_points():
    rng = np.random.default_rng(3)
    pts = rng.integers(0, 6, size=(150, 3)).astype(float)  # many ties and duplicates
    pts[5] = [-0.0, 0.0, -0.0]
    return veltrix.Array.from_numpy(pts)


TREE_BUILDS = [
    (SP.KDTree, {}), (SP.BallTree, {"metric": "manhattan"}), (SP.VPTree, {"metric": "chebyshev"}),
    (SP.VPTree, {"selection": "random"}), (SP.KDTree, {"leaf_size": 1}),
]
TREE_IDS = ["kd", "ball-manhattan", "vp-chebyshev", "vp-random", "kd-leaf1"]


def answers(tree):
    qs = [[2.5, 2.5, 2.5], [0.0, 0.0, 0.0], [9.0, -1.0, 3.0]]
    out = [tree.query_knn(q, 7) for q in qs] + [tree.query_radius(q, 2.0) for q in qs]
    out.append(raw(tree.kernel_density(bandwidth=0.7)))
    out.append(raw(tree.kernel_density_approx(veltrix.Array([3, 3], sum(qs, [])), 1.5, "epanechnikov",
                                              "combined", 10, 2.0)))
    return out


@pytest.mark.parametrize("travel", TRAVELS, ids=TRAVEL_IDS)
@pytest.mark.parametrize("cls, kw", TREE_BUILDS, ids=TREE_IDS)
def test_tree_round_trip_answers_identically(cls, kw, travel):
    tree = cls.from_array(tree_points(), **kw)
    loaded = travel(tree)
    assert type(loaded) is cls and loaded is not tree
    assert answers(loaded) == answers(tree)
    # Structure and all: the state of the loaded tree is the original's, byte for byte.
    assert pickle.dumps(loaded, protocol=4) == pickle.dumps(tree, protocol=4)


@pytest.mark.parametrize("cls", [SP.KDTree, SP.BallTree, SP.VPTree])
def test_empty_tree_round_trips(cls):
    tree = pickle.loads(pickle.dumps(cls.from_array(veltrix.zeros([0, 2]))))
    assert tree.query_knn([0.0, 0.0], 3) == [] and tree.query_radius([0.0, 0.0], 1.0) == []


def test_protocol_5_carries_data_out_of_band():
    a = veltrix.random.seed(1).uniform(0.0, 1.0, [1000, 3])
    tree = SP.KDTree.from_array(a)
    for obj in (a, tree):
        buffers = []
        s = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
        assert len(buffers) == 1 and len(s) < 200
        back = pickle.loads(s, buffers=buffers)
        assert pickle.dumps(back, protocol=4) == pickle.dumps(obj, protocol=4)


def test_reconstructors_are_private_and_classes_stay_builtins():
    for name in ("_array_from_bytes", "_generator_from_state", "_tree_from_state"):
        assert callable(getattr(veltrix, name)) and name not in veltrix.__all__
        assert getattr(veltrix, name).__module__ == "veltrix"
    for cls in (veltrix.Array, veltrix.Generator, SP.KDTree, SP.BallTree, SP.VPTree):
        assert cls.__module__ == "builtins"


# ---------------------------------------------------------------------------------------------
# Parallel streams against a slow reference of the published jump


def ref_next(s):
    s0, s1, s2, s3 = s
    t = (s1 << 17) & MASK
    s2 ^= s0
    s3 ^= s1
    s1 ^= s2
    s0 ^= s3
    s2 ^= t
    s3 = ((s3 << 45) | (s3 >> 19)) & MASK
    return (s0, s1, s2, s3)


def ref_jump(s):
    acc = [0, 0, 0, 0]
    for word in JUMP:
        for b in range(64):
            if word >> b & 1:
                acc = [x ^ y for x, y in zip(acc, s)]
            s = ref_next(s)
    return tuple(acc)


def test_jumped_and_spawn_follow_the_jump_polynomial():
    g = veltrix.random.seed(2024)
    start = words(g)
    expected = [start]
    for _ in range(5):
        expected.append(ref_jump(expected[-1]))
    assert words(g.jumped()) == expected[1] and words(g.jumped(3)) == expected[3]
    assert words(g.jumped(0)) == start and words(g) == start  # jumped leaves g alone
    children = g.spawn(3)
    assert [words(c) for c in children] == expected[1:4]
    assert words(g) == expected[4]  # the parent moves past every child
    assert g.spawn(0) == [] and words(g) == expected[5]


def test_many_jumps_equal_single_jumps():
    g = veltrix.random.seed(7)
    h = g
    for _ in range(300):
        h = h.jumped()
    assert words(g.jumped(300)) == words(h)


def test_spawned_streams_do_not_overlap():
    g = veltrix.random.seed(5)
    streams = g.spawn(4) + [g]
    draws = [set(s.randint(-(2**63), 2**63 - 1, [2000]).tolist()) for s in streams]
    assert sum(len(d) for d in draws) == len(set().union(*draws)) == 5 * 2000
    again = veltrix.random.seed(5).spawn(4)
    assert [words(c) for c in again] == [words(c) for c in veltrix.random.seed(5).spawn(4)]


# ---------------------------------------------------------------------------------------------
# Work shipped to other processes


def _work(job):
    tree, gen, queries = job
    return (
        [tree.query_knn(q, 5) for q in queries.tolist()],
        raw(tree.kernel_density(queries, 0.8)),
        raw(gen.normal(0.0, 1.0, [50])),
    )


def test_spawn_pool_matches_one_process():
    points = veltrix.random.seed(11).uniform(-1.0, 1.0, [500, 2])
    queries = veltrix.random.seed(12).uniform(-1.0, 1.0, [20, 2])
    trees = [SP.KDTree.from_array(points), SP.VPTree.from_array(points, 8, selection="random")]
    gens = veltrix.random.seed(13).spawn(2)
    jobs = [(t, g, queries) for t, g in zip(trees, gens)]
    expected = [_work(copy.deepcopy(j)) for j in jobs]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(_work, jobs) == expected


# ---------------------------------------------------------------------------------------------
# Hostile states


def tree_state(cls=SP.KDTree, n=6, **kw):
    points = veltrix.Array([n, 2], [float(i % 4) for i in range(2 * n)])
    return bytes(cls.from_array(points, 2, **kw).__reduce_ex__(4)[1][0])


def edited(state, offset, fmt, value):
    b = bytearray(state)
    struct.pack_into(fmt, b, offset, value)
    return bytes(b)


ROWS = 48 + 6 * 2 * 8  # the row numbers follow the header and the points
SPLITS = ROWS + 6 * 4  # then one split word for each of the 7 nodes
TREE_CASES = [
    (b"", "Not a tree state"),
    (tree_state()[:-1], "Tree state has the wrong length"),
    (tree_state()[:30], "Tree state has the wrong length"),
    (tree_state() + b"\0", "Tree state has the wrong length"),
    (edited(tree_state(), 4, "<I", 3), "Unsupported tree state version 3"),
    (edited(tree_state(), 4, "<I", 2), "Tree state has the wrong length"),  # no room for a box
    (edited(tree_state(), 16, "<Q", 7), "Tree state has the wrong length"),
    (edited(tree_state(), 24, "<Q", 2**62), "Tree state has the wrong length"),
    (edited(tree_state(), 32, "<Q", 0), "Tree state header is invalid"),
    (edited(tree_state(), 9, "<B", 9), "Tree state header is invalid"),
    (edited(tree_state(), 48, "<d", math.nan), "Tree state holds NaN coordinates"),
    (edited(tree_state(), ROWS, "<I", 6), "Tree state row numbers are not a permutation of the input rows"),
    (edited(tree_state(), ROWS + 4, "<I", struct.unpack_from("<I", tree_state(), ROWS)[0]),
     "Tree state row numbers are not a permutation of the input rows"),
    (edited(tree_state(), SPLITS, "<I", 9), "Tree state node ranges are inconsistent"),
    (edited(tree_state(), SPLITS, "<I", 0), "Tree state node ranges are inconsistent"),
    (edited(tree_state(SP.BallTree), SPLITS + 7 * 4, "<d", -1.0), "Tree state holds a negative or NaN ball radius"),
    (edited(tree_state(SP.VPTree), len(tree_state(SP.VPTree)) - 4, "<I", 0),
     "Tree state vantage point lies outside its node"),
    (pickle.dumps(veltrix.zeros([3])), "Not a tree state"),
    ("VXTS", "Invalid tree state: it must be a bytes-like object"),
    (None, "Invalid tree state: it must be a bytes-like object"),
]

ARRAY_CASES = [
    (((2, 2), b"\0" * 31), "Invalid Array state: 31 data bytes for shape [2, 2] (expected 32)"),
    (((3,), "abc"), "Invalid Array state: data must be a bytes-like object"),
    (("ab", b""), "Invalid Array state: shape must be a tuple of non-negative integers"),
    (((-1,), b""), "Invalid Array state: shape must be a tuple of non-negative integers"),
    (((2.0,), b"\0" * 16), "Invalid Array state: shape must be a tuple of non-negative integers"),
]

GENERATOR_CASES = [
    ((0, 0, 0, 0), "Generator state must not be all zero"),
    ((-1, 1, 1, 1), "Invalid Generator state: each of the four state words must be an integer in [0, 2**64)"),
    ((1, 2**64, 1, 1), "Invalid Generator state: each of the four state words must be an integer in [0, 2**64)"),
    ((1, 1, 1.0, 1), "Invalid Generator state: each of the four state words must be an integer in [0, 2**64)"),
]


@pytest.mark.parametrize(
    "fn, args, message",
    [(veltrix._tree_from_state, (s,), m) for s, m in TREE_CASES]
    + [(veltrix._array_from_bytes, a, m) for a, m in ARRAY_CASES]
    + [(veltrix._generator_from_state, a, m) for a, m in GENERATOR_CASES],
)
def test_hostile_state_raises_value_error(fn, args, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        fn(*args)


def test_every_truncation_and_byte_flip_is_refused_or_harmless():
    for cls in (SP.KDTree, SP.BallTree, SP.VPTree):
        state = tree_state(cls, selection="random") if cls is SP.VPTree else tree_state(cls)
        for i in range(len(state)):
            with pytest.raises(ValueError):
                veltrix._tree_from_state(state[:i])
            try:
                tree = veltrix._tree_from_state(edited(state, i, "<B", state[i] ^ 0xFF))
            except ValueError:
                continue
            tree.query_knn([1.0, 1.0], 3)
            tree.kernel_density()


# ---------------------------------------------------------------------------------------------
# NumPy array protocol


@pytest.mark.parametrize("shape", [[], [0], [2, 0], [4], [2, 2], [2, 1, 3]])
def test_asarray_has_the_arrays_shape_and_is_a_copy(shape):
    a = veltrix.Array(shape, [float(i) for i in range(math.prod(shape))])
    x = np.asarray(a)
    assert x.shape == tuple(shape) and x.dtype == np.float64 and x.tobytes() == raw(a)
    if x.size:
        x.flat[0] = 99.0
        assert a.tolist() != x.tolist()
    assert np.asarray(a, dtype=np.float32).dtype == np.float32


def test_mixed_operations_compute_on_the_right_shapes():
    a = veltrix.Array([2, 2], [1.0, 2.0, 3.0, 4.0])
    m = np.asarray(a)
    x = np.array([0.5, -1.0])
    assert np.array_equal(a @ x, np.matmul(m, x))
    with pytest.raises(ValueError):
        a @ np.ones(4)  # was silently 10.0 while NumPy read the Array as a flat sequence
    for got, want in [
        (np.ones((2, 2)) + a, np.ones((2, 2)) + m),
        (np.exp(a), np.exp(m)),
        (np.sum(a), np.sum(m)),
        (np.mean(a, axis=0), np.mean(m, axis=0)),
        (np.transpose(a), m.T),
        (np.concatenate([a, a]), np.concatenate([m, m])),
    ]:
        assert isinstance(got, (np.ndarray, np.floating)) and np.array_equal(got, want)


def test_copy_false_is_refused():
    a = veltrix.ones([2])
    message = ("An Array never shares its data: converting it to a NumPy array always copies, so "
               "copy=False cannot be honoured")
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        a.__array__(copy=False)
    with pytest.raises(ValueError):
        np.array(a, copy=False)
    assert np.array(a, copy=True).shape == (2,)
