"""Array.exp and Array.log run vector replicas of the C library's exp and log; their results must
be the C library's bit for bit. The native check vmath_check covers 10^8 inputs per function,
every instruction-set path against the scalar one, errno, and the guard's fallback."""

import ctypes
import ctypes.util
import math
import pathlib
import platform
import struct

import numpy as np
import pytest

import veltrix

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double]

INF = math.inf


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def c_log(x):
    try:
        return math.log(x)
    except ValueError:
        return -INF if x == 0 else math.nan


def from_bits(b):
    return np.asarray(b, dtype=np.uint64).view(np.float64)


def inputs(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "random bits":
        return from_bits(rng.integers(0, 2**64, n, dtype=np.uint64))
    if kind == "every binade":  # sign and mantissa random, exponent uniform over the main range
        sign = rng.integers(0, 2, n, dtype=np.uint64) << np.uint64(63)
        exponent = rng.integers(0x3C0, 0x40A, n, dtype=np.uint64) << np.uint64(52)
        return from_bits(sign | exponent | rng.integers(0, 2**52, n, dtype=np.uint64))
    if kind == "positive bits":
        return from_bits(rng.integers(0, 0x7FF0_0000_0000_0000, n, dtype=np.uint64))
    lo, hi = {"exp main range": (-745.2, 709.8), "exp typical": (-10.0, 10.0),
              "log typical": (0.0, 1000.0), "log near 1": (0.9, 1.1)}[kind]
    return rng.uniform(lo, hi, n)


def assert_c_library_bits(method, x):
    got = getattr(veltrix.Array.from_numpy(x), method)().to_numpy()
    ref = c_exp if method == "exp" else c_log
    want = np.fromiter(map(ref, x.tolist()), np.float64, len(x))
    # NaN payloads are compared in test_edges, where the reference is the C call itself.
    bad = (got.view(np.uint64) != want.view(np.uint64)) & ~(np.isnan(got) & np.isnan(want))
    assert not bad.any(), f"{method} differs at {x[bad][:5].tolist()}: {got[bad][:5]} != {want[bad][:5]}"


# 10^7 inputs per function.
@pytest.mark.parametrize("method, kind, n", [
    ("exp", "exp main range", 4_000_000), ("exp", "exp typical", 1_000_000),
    ("exp", "every binade", 3_000_000), ("exp", "random bits", 2_000_000),
    ("log", "log typical", 3_000_000), ("log", "log near 1", 2_000_000),
    ("log", "positive bits", 3_000_000), ("log", "random bits", 2_000_000),
])
def test_bulk_inputs_give_the_c_library_bits(method, kind, n):
    assert_c_library_bits(method, inputs(kind, n, seed=sum(map(ord, method + kind))))


def neighbours(x):
    return [math.nextafter(x, -INF), x, math.nextafter(x, INF)]


EDGES = sorted({v for k in range(-1074, 1024) for s in (1.0, -1.0) for v in neighbours(s * 2.0**k)}
               | {v for t in (709.782712893384,      # largest finite exp
                              708.3964185322641,     # exp(-t): smallest normal result
                              745.1332191019411,     # exp(-t): smallest subnormal result
                              2.0**-54, 512.0, 1024.0,  # the kernel's range ends
                              1 - 2.0**-4, 1 + float.fromhex("0x1.09p-4"),  # log near 1
                              1.0, 2.2250738585072014e-308, 1.7976931348623157e308)
                  for s in (1.0, -1.0) for v in neighbours(s * t)}
               | {0.0, -0.0, INF, -INF}, key=lambda v: struct.pack(">d", v))
NANS = [struct.unpack("<d", struct.pack("<Q", b))[0]
        for b in (0x7FF8_0000_0000_0000, 0xFFF8_0000_0000_0000, 0x7FF8_0000_0000_1234, 0x7FF0_0000_0000_0001)]


@pytest.mark.parametrize("method", ["exp", "log"])
def test_edges(method):
    values = EDGES + NANS
    got = getattr(veltrix.Array([len(values)], values), method)().to_numpy()
    want = np.array([getattr(LIBM, method)(v) for v in values])
    bad = got.view(np.uint64) != want.view(np.uint64)
    assert not bad.any(), f"{method} differs at {np.array(values)[bad][:5].tolist()}"


@pytest.mark.parametrize("method", ["exp", "log"])
def test_every_length_and_position(method):
    # Short arrays end in a partial vector; one special value at each position sends that lane
    # alone to the scalar call.
    for n in range(1, 20):
        for special in [None, *range(n)]:
            values = [1.5 + i / 8 for i in range(n)]
            if special is not None:
                values[special] = -1.0 if method == "log" else 800.0
            got = getattr(veltrix.Array([n], values), method)().to_numpy()
            want = np.array([getattr(LIBM, method)(v) for v in values])
            assert got.tobytes() == want.tobytes(), (n, special)


def host_has_fused_glibc():
    flags = set()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    except OSError:
        return False
    libc, version = platform.libc_ver()
    return (platform.machine() == "x86_64" and libc == "glibc" and {"avx2", "fma"} <= flags
            and tuple(map(int, version.split(".")[:2])) >= (2, 28))


def test_the_vector_path_is_active_where_the_host_library_is_the_replicated_one():
    # A kernel that disagreed with the host would make the guard fall back silently, and every
    # test above would then only check the scalar calls.
    path = veltrix._vmath_path
    assert path in ("avx512", "avx2", "scalar")
    if host_has_fused_glibc():
        assert path != "scalar"
