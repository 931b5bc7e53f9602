// The vector helpers are always inlined, so no vector ever crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "array/linalg_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <unistd.h>

#include "array/cancel.hpp"

namespace veltrix::kernels {

namespace {

// The first cache-line boundary at or after p (at most 7 doubles on, p being 8-byte aligned).
VELTRIX_INLINE f64* line_aligned(f64* p) {
    return reinterpret_cast<f64*>((reinterpret_cast<std::uintptr_t>(p) + 63) & ~std::uintptr_t{63});
}

// Register tile and cache block sizes of one instruction set. MC and NC are multiples
// of the tile sides; KC bounds the packed strips so that one strip of B stays in L1.
// ReflectNV vectors of columns are reflected in registers; FusedNV·W is the widest column
// block of the fused reflection sweeps and divides the 32-column panels of the QR.
//
// The product tile is MR rows × NV vectors: MR·NV sums, NV vectors of B and a broadcast
// element of A with its product must stay in registers. Without FMA every step of t is
// MR·NV multiplies and as many adds, which issue on separate pipes, so the tile is sized to
// keep both pipes busy: 6 × 2 four-lane vectors fill AVX2's 16 registers and run at 94 % of
// the no-FMA peak over L1-resident panels (AMD EPYC Zen 3, AVX2); 4 × 3 saves two broadcasts
// but needs a 17th register and spills (81 %).
struct GenericIsa {
    using V = v2d;
    static constexpr int W = 2, MR = 4, NV = 2, ReflectNV = 8, FusedNV = 4;
    static constexpr u64 KC = 256, MC = 96, NC = 1024;
    static u64 kc() noexcept { return KC; }
};
// KC = 384 and MC = 48 (a 24 KiB B strip, a 144 KiB A block) beat 256 and 96: each further
// K block reloads and stores every tile of C, which cost about 5 % of the product at KC = 256
// (measured by starting every block from -0.0 instead), and the smaller A block leaves L2
// room for the strips of C and B passing through.
struct Avx2Isa {
    using V = v4d;
    static constexpr int W = 4, MR = 6, NV = 2, ReflectNV = 8, FusedNV = 4;
    static constexpr u64 KC = 384, MC = 48, NC = 1024;
    static u64 kc() noexcept { return KC; }
};
// Eight lanes also halve the instructions of the reflection sweeps, which are otherwise
// bound by issuing them. The product tile is 8 rows × 3 vectors (24 sums, 29 of the 32
// registers): each broadcast of A then feeds three multiplies, where 12 × 2 fed two, and over
// L1-resident panels that shape ran at 75 % of the no-FMA peak against 66 % for 12 × 16 (a
// 2-core AMD EPYC with AVX-512; benchmarks/peak_probe.cpp measures both). The B strip of 24
// columns is sized to L1: 18 KiB at KC = 96 in a 32 KiB L1 (that AMD EPYC); 48 KiB at KC = 256
// in a 48 KiB L1, where fewer K blocks (each reloads and stores every tile of C) took 2048² from
// 74 % to 83 % of the peak against KC = 96 (an Intel Xeon). NC is a multiple of 24.
struct Avx512Isa {
    using V = v8d;
    static constexpr int W = 8, MR = 8, NV = 3, ReflectNV = 4, FusedNV = 4;
    static constexpr u64 MC = 192, NC = 1008;
    static u64 kc() noexcept {
        static const u64 v = sysconf(_SC_LEVEL1_DCACHE_SIZE) >= 48 * 1024 ? 256 : 96;
        return v;
    }
};
constexpr u64 max_reflect_block = 32;
// Groups of four rows that matrix·vector sums side by side (independent add chains).
constexpr int gemv_groups = 2;

template <class I>
VELTRIX_INLINE void pack_a(u64 rows, u64 kc, MatRef a, u64 i0, u64 p0, f64* __restrict out) {
    constexpr int MR = I::MR;
    for (u64 s = 0; s < rows; s += MR) {
        f64* strip = out + s * kc;
        const u64 live = std::min<u64>(MR, rows - s);
        if (live == u64(MR) && a.cs == 1) {
            // Row after row would pass over the whole strip MR times, one element of each
            // line per pass; t outer writes it once, in order, from MR sequential reads.
            const f64* src = a.p + (i0 + s) * a.rs + p0;
            const u64 rs = a.rs;
            for (u64 t = 0; t < kc; ++t)
                for (u64 r = 0; r < u64(MR); ++r) strip[t * MR + r] = src[r * rs + t];
            continue;
        }
        for (u64 r = 0; r < u64(MR); ++r) {
            if (r < live) {
                const f64* src = a.p + (i0 + s + r) * a.rs + p0 * a.cs;
                for (u64 t = 0; t < kc; ++t) strip[t * MR + r] = src[t * a.cs];
            } else {
                for (u64 t = 0; t < kc; ++t) strip[t * MR + r] = 0.0;
            }
        }
    }
}

template <class I>
VELTRIX_INLINE void pack_b(u64 kc, u64 cols, MatRef b, u64 p0, u64 j0, f64* __restrict out) {
    constexpr u64 NR = I::NV * I::W;
    if (b.cs == 1) {
        // Each row of B once, in order, into every whole strip: strip by strip would read
        // one line from each of kc rows, a stride no prefetcher follows. The copies have a
        // fixed length, as short variable-length copies become slow string moves.
        const u64 whole = cols / NR * NR;
        for (u64 t = 0; t < kc; ++t) {
            const f64* src = b.p + (p0 + t) * b.rs + j0;
            for (u64 s = 0; s < whole; s += NR) {
                f64* dst = out + s * kc + t * NR;
                for (u64 c = 0; c < NR; ++c) dst[c] = src[s + c];
            }
        }
        if (whole == cols) return;
    }
    for (u64 s = b.cs == 1 ? cols / NR * NR : 0; s < cols; s += NR) {
        f64* strip = out + s * kc;
        const u64 live = std::min<u64>(NR, cols - s);
        if (b.cs == 1) {
            for (u64 t = 0; t < kc; ++t) {
                const f64* src = b.p + (p0 + t) * b.rs + (j0 + s);
                for (u64 c = 0; c < live; ++c) strip[t * NR + c] = src[c];
                for (u64 c = live; c < NR; ++c) strip[t * NR + c] = 0.0;
            }
        } else {
            for (u64 c = 0; c < NR; ++c) {
                if (c < live) {
                    const f64* src = b.p + p0 * b.rs + (j0 + s + c) * b.cs;
                    for (u64 t = 0; t < kc; ++t) strip[t * NR + c] = src[t * b.rs];
                } else {
                    for (u64 t = 0; t < kc; ++t) strip[t * NR + c] = 0.0;
                }
            }
        }
    }
}

// One register tile of R rows (R <= MR) × NV·W columns (NV <= I::NV, the first NV vectors of
// each NR-wide row of the strip): acc[r][v] += a(r, t) * b(t, v) for t ascending from t0 over a
// kc-long B strip packed t-major. A is read either from a packed
// strip (kc × MR, t-major) or straight from R rows of a matrix with contiguous rows (lda
// apart). When first, every element starts from start[column] (or -0.0 without start),
// otherwise from its value in c, so the tile continues the sums of earlier K blocks.
template <class I, int R, int NV, bool PackedA>
VELTRIX_INLINE void gemm_tile(u64 kc, u64 t0, const f64* start, const f64* __restrict ap, u64 lda,
                              const f64* __restrict bp, f64* ct, u64 ldc, u64 cols, bool first) {
    using V = typename I::V;
    constexpr int MR = I::MR, W = I::W;
    constexpr u64 NR = u64(I::NV) * W, TW = u64(NV) * W;
    const bool full = cols == TW;
    V acc[R][NV];
    f64 edge[R * TW];
    if (full) {
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v)
                acc[r][v] = !first ? vload<V>(ct + r * ldc + v * W)
                            : start ? vload<V>(start + v * W)
                                    : -V{};
    } else {
        for (u64 r = 0; r < u64(R); ++r)
            for (u64 cc = 0; cc < TW; ++cc)
                edge[r * TW + cc] = !first ? (cc < cols ? ct[r * ldc + cc] : -0.0)
                                    : start ? start[cc]
                                            : -0.0;
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v) acc[r][v] = vload<V>(edge + r * TW + v * W);
    }
    for (u64 t = t0; t < kc; ++t) {
        V b[NV];
        for (int v = 0; v < NV; ++v) b[v] = vload<V>(bp + t * NR + v * W);
        for (int r = 0; r < R; ++r) {
            const f64 a = PackedA ? ap[t * MR + r] : ap[r * lda + t];
            for (int v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + a * b[v];
        }
    }
    if (full) {
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v) vstore(ct + r * ldc + v * W, acc[r][v]);
    } else {
        for (int r = 0; r < R; ++r)
            for (int v = 0; v < NV; ++v) vstore(edge + r * TW + v * W, acc[r][v]);
        for (u64 r = 0; r < u64(R); ++r)
            for (u64 cc = 0; cc < cols; ++cc) ct[r * ldc + cc] = edge[r * TW + cc];
    }
}

// The tile for `rows` rows, so that a last partial row strip does no work on padding. With
// three vectors a strip, a whole row strip also drops the vectors of padding in a last partial
// column strip (64 columns are 24 + 24 + 16 on eight lanes: a third of the last strip's work;
// 64² went from 54 % to 62 % of the peak); with two it would gain less than it costs to compile.
template <class I, bool PackedA, int R = I::MR, int NV = I::NV>
VELTRIX_INLINE void gemm_tile_rows(u64 rows, u64 kc, u64 t0, const f64* start, const f64* ap,
                                   u64 lda, const f64* bp, f64* ct, u64 ldc, u64 cols, bool first) {
    if constexpr (R == I::MR && I::NV > 2 && NV > 1) {
        if (rows == u64(R) && cols <= u64(NV - 1) * I::W)
            return gemm_tile_rows<I, PackedA, R, NV - 1>(rows, kc, t0, start, ap, lda, bp, ct, ldc,
                                                         cols, first);
    }
    if (rows == u64(R)) gemm_tile<I, R, NV, PackedA>(kc, t0, start, ap, lda, bp, ct, ldc, cols, first);
    else if constexpr (R > 1)
        gemm_tile_rows<I, PackedA, R - 1, NV>(rows, kc, t0, start, ap, lda, bp, ct, ldc, cols, first);
}

// Up to this many elements of A (with contiguous rows and a single K block) are read in
// place while B (packed) has at most direct_b_limit elements, so that both stay in L2
// whichever of them is passed over repeatedly. Packing A would cost about as much as the
// product at these sizes.
constexpr u64 direct_a_limit = 128 * 128, direct_b_limit = 256 * 128;

// Packing space kept per thread (0: B, 1: A): a fresh allocation of a few MiB per product
// would fault its pages in again on every call. Products never nest on one thread.
VELTRIX_INLINE f64* pack_space(int which, u64 n) {
    struct Space {
        std::unique_ptr<f64[]> store;
        u64 size = 0;
    };
    thread_local Space spaces[2];
    Space& s = spaces[which];
    if (s.size < n) {
        s.store.reset();
        s.store.reset(new f64[n + 8]);
        s.size = n;
    }
    return line_aligned(s.store.get());
}

template <class I>
// Rows i < tri of A hold +0.0 left of the diagonal (a(i, t) = +0.0 for t < i). When the
// product starts from -0.0 and reads A in place, a tile of such rows starting at row i0
// begins its sums at t = i0 from the sum of those zero products, -0.0 + 0.0*b(0, j) + ...
// + 0.0*b(i0-1, j), which is the same for every row of the tile and depends on b alone
// (it is -0.0, +0.0 or NaN). Later rows of the tile still multiply out their zeros.
VELTRIX_INLINE void gemm_body(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, u64 ldc,
                              bool accumulate, u64 tri) {
    constexpr int MR = I::MR;
    constexpr u64 NR = u64(I::NV) * I::W;
    const u64 KC = I::kc();
    constexpr u64 MC = I::MC, NC = I::NC;
    if (m == 0 || q == 0) return;
    if (n == 0) {
        if (!accumulate)
            for (u64 i = 0; i < m; ++i) std::fill(c + i * ldc, c + i * ldc + q, -0.0);
        return;
    }
    const bool direct_a =
        a.cs == 1 && n <= KC && m * n <= direct_a_limit && n * q <= direct_b_limit;
    const u64 round_up_q = (std::min(q, NC) + NR - 1) / NR * NR;
    const u64 round_up_m = (std::min(m, MC) + MR - 1) / MR * MR;
    // Every packed element is written before it is read, so the buffers start uninitialised.
    // The packed strips start on a cache line, so that no vector load of them straddles two.
    f64* const bpack_base = pack_space(0, std::min(n, KC) * round_up_q);
    f64* const apack = direct_a ? nullptr : pack_space(1, std::min(n, KC) * round_up_m);

    for (u64 jc = 0; jc < q; jc += NC) {
        const u64 nc = std::min(NC, q - jc);
        // Blocks of the inner index run in ascending order and each continues the
        // partial sums stored in c, so every element still adds its products in t order.
        for (u64 pc = 0; pc < n; pc += KC) {
            const u64 kc = std::min(KC, n - pc);
            const bool first = pc == 0 && !accumulate;
            pack_b<I>(kc, nc, b, pc, jc, bpack_base);
            if (direct_a) {
                const u64 top = first ? std::min(tri, m) : 0;
                if (top == 0) {
                    // One row strip at a time across all of B, so that the strip's rows of A
                    // stay in L1.
                    for (u64 i0 = 0; i0 < m; i0 += MR)
                        for (u64 js = 0; js < nc; js += NR)
                            gemm_tile_rows<I, false>(std::min<u64>(MR, m - i0), kc, 0, nullptr,
                                                     a.p + i0 * a.rs, a.rs, bpack_base + js * kc,
                                                     c + i0 * ldc + jc + js, ldc,
                                                     std::min(NR, q - jc - js), first);
                    continue;
                }
                // With a triangular top, one B strip at a time down all rows, carrying the sum
                // of its zero products along.
                for (u64 js = 0; js < nc; js += NR) {
                    const f64* bp = bpack_base + js * kc;
                    const u64 j0 = jc + js;
                    const u64 cols = std::min(NR, q - j0);
                    f64 zeros_sum[NR];  // -0.0 + 0.0*b(0, j) + ... up to t = tz - 1
                    for (u64 cc = 0; cc < NR; ++cc) zeros_sum[cc] = -0.0;
                    u64 tz = 0;
                    for (u64 i0 = 0; i0 < top; i0 += MR) {
                        const u64 t0 = std::min(i0, kc);
                        for (; tz < t0; ++tz)
                            for (u64 cc = 0; cc < NR; ++cc)
                                zeros_sum[cc] = zeros_sum[cc] + 0.0 * bp[tz * NR + cc];
                        gemm_tile_rows<I, false>(std::min<u64>(MR, top - i0), kc, t0, zeros_sum,
                                                 a.p + i0 * a.rs, a.rs, bp, c + i0 * ldc + j0, ldc,
                                                 cols, true);
                    }
                    for (u64 i0 = top; i0 < m; i0 += MR)
                        gemm_tile_rows<I, false>(std::min<u64>(MR, m - i0), kc, 0, nullptr,
                                                 a.p + i0 * a.rs, a.rs, bp, c + i0 * ldc + j0, ldc,
                                                 cols, first);
                }
                continue;
            }
            for (u64 ic = 0; ic < m; ic += MC) {
                cancel::check();  // a block is a few milliseconds of work at most
                const u64 mc = std::min(MC, m - ic);
                pack_a<I>(mc, kc, a, ic, pc, apack);
                for (u64 js = 0; js < nc; js += NR) {
                    const f64* bp = bpack_base + js * kc;
                    const u64 j0 = jc + js;
                    const u64 cols = std::min(NR, q - j0);
                    for (u64 is = 0; is < mc; is += MR) {
                        // The next tile's rows of C, asked for while this tile's sums run: its
                        // first loads would otherwise wait on memory for every tile.
                        for (u64 r = is + MR; r < std::min<u64>(is + 2 * MR, mc); ++r) {
                            const f64* next = c + (ic + r) * ldc + j0;
                            __builtin_prefetch(next, 1);
                            __builtin_prefetch(next + cols - 1, 1);
                        }
                        gemm_tile_rows<I, true>(std::min<u64>(MR, m - ic - is), kc, 0, nullptr,
                                                apack + is * kc, 0, bp,
                                                c + (ic + is) * ldc + j0, ldc, cols, first);
                    }
                }
            }
        }
    }
}

// Eight rows at a time: eight independent accumulators hide the add latency, and the
// product is bound by reading the matrix once anyway.
VELTRIX_INLINE void gemv_body(u64 m, u64 n, const f64* __restrict a, const f64* __restrict x,
                              f64* __restrict y) {
    constexpr u64 RB = 8;
    u64 i = 0;
    for (; i + RB <= m; i += RB) {
        f64 acc[RB];
        for (u64 r = 0; r < RB; ++r) acc[r] = -0.0;
        const f64* rows = a + i * n;
        for (u64 t = 0; t < n; ++t) {
            const f64 xt = x[t];
            for (u64 r = 0; r < RB; ++r) acc[r] = acc[r] + rows[r * n + t] * xt;
        }
        for (u64 r = 0; r < RB; ++r) y[i + r] = acc[r];
    }
    for (; i < m; ++i) {
        f64 s = -0.0;
        const f64* row = a + i * n;
        for (u64 t = 0; t < n; ++t) s = s + row[t] * x[t];
        y[i] = s;
    }
}

// G groups of four rows with four-lane vectors: each row's products of four consecutive t
// are formed at once, and a 4×4 transpose turns them into four vectors over the rows, which
// are added to the rows' sums in ascending t. Each sum is still one chain of adds, so G
// chains run side by side; the shuffles keep it at the rate of reading the matrix, where the
// compiler's own transposes of the plain loop fell to two thirds of it with the matrix in L3.
// Elements ahead that a matrix too large for the caches asks for its rows: eight row streams
// are more than the hardware prefetcher keeps up with (4096²: 13.3 to 15.2 GB/s, 94 % of a
// streaming read, on an Intel Xeon). From the caches the requests only cost issue slots.
constexpr u64 gemv_ahead = 128, gemv_ahead_from = u64{8} << 20;  // bytes of matrix

template <int G, bool Ahead>
VELTRIX_INLINE void gemv_rows4(u64 n, const f64* __restrict a, const f64* __restrict x,
                               f64* __restrict y) {
    using V = v4d;
    using M = long long __attribute__((vector_size(32)));
    V acc[G];
    for (int g = 0; g < G; ++g) acc[g] = -V{};
    u64 t = 0;
    for (; t + 4 <= n; t += 4) {
        const V xv = vload<V>(x + t);
        if constexpr (Ahead) {
            if (t % 8 == 0)
                for (int r = 0; r < 4 * G; ++r) __builtin_prefetch(a + u64(r) * n + t + gemv_ahead);
        }
        for (int g = 0; g < G; ++g) {
            const f64* r0 = a + u64(4 * g) * n + t;
            const V p0 = vload<V>(r0) * xv, p1 = vload<V>(r0 + n) * xv;
            const V p2 = vload<V>(r0 + 2 * n) * xv, p3 = vload<V>(r0 + 3 * n) * xv;
            const V lo01 = __builtin_shuffle(p0, p1, M{0, 4, 2, 6});
            const V hi01 = __builtin_shuffle(p0, p1, M{1, 5, 3, 7});
            const V lo23 = __builtin_shuffle(p2, p3, M{0, 4, 2, 6});
            const V hi23 = __builtin_shuffle(p2, p3, M{1, 5, 3, 7});
            acc[g] = acc[g] + __builtin_shuffle(lo01, lo23, M{0, 1, 4, 5});  // products at t
            acc[g] = acc[g] + __builtin_shuffle(hi01, hi23, M{0, 1, 4, 5});  // t + 1
            acc[g] = acc[g] + __builtin_shuffle(lo01, lo23, M{2, 3, 6, 7});  // t + 2
            acc[g] = acc[g] + __builtin_shuffle(hi01, hi23, M{2, 3, 6, 7});  // t + 3
        }
    }
    for (int g = 0; g < G; ++g)
        for (int r = 0; r < 4; ++r) {
            const f64* row = a + u64(4 * g + r) * n;
            f64 s = acc[g][r];
            for (u64 u = t; u < n; ++u) s = s + row[u] * x[u];
            y[4 * g + r] = s;
        }
}

template <class I>
VELTRIX_INLINE void gemv_body(u64 m, u64 n, const f64* __restrict a, const f64* __restrict x,
                              f64* __restrict y) {
    if constexpr (I::W < 4) {
        gemv_body(m, n, a, x, y);
    } else {
        constexpr u64 RB = 4 * gemv_groups;
        u64 i = 0;
        if (m * n * sizeof(f64) >= gemv_ahead_from)
            for (; i + RB <= m; i += RB) gemv_rows4<gemv_groups, true>(n, a + i * n, x, y + i);
        for (; i + RB <= m; i += RB) gemv_rows4<gemv_groups, false>(n, a + i * n, x, y + i);
        for (; i + 4 <= m; i += 4) gemv_rows4<1, false>(n, a + i * n, x, y + i);
        gemv_body(m - i, n, a + i * n, x, y + i);
    }
}

VELTRIX_INLINE void gevm_body(u64 n, u64 q, const f64* __restrict x, const f64* __restrict b,
                              f64* __restrict y) {
    // Column blocks keep the partial sums in L1 while the rows stream past.
    constexpr u64 JB = 1024;
    for (u64 j0 = 0; j0 < q; j0 += JB) {
        const u64 jn = std::min(JB, q - j0);
        f64* __restrict yb = y + j0;
        for (u64 j = 0; j < jn; ++j) yb[j] = -0.0;
        for (u64 t = 0; t < n; ++t) {
            const f64 xt = x[t];
            const f64* __restrict row = b + t * q + j0;
            for (u64 j = 0; j < jn; ++j) yb[j] = yb[j] + xt * row[j];
        }
    }
}

VELTRIX_INLINE void weighted_row_sum_body(u64 rows, u64 cols, const f64* __restrict v,
                                          const f64* __restrict m, u64 ld, f64* __restrict w) {
    for (u64 j = 0; j < cols; ++j) w[j] = 0.0;
    for (u64 i = 0; i < rows; ++i) {
        const f64 vi = v[i];
        const f64* __restrict row = m + i * ld;
        for (u64 j = 0; j < cols; ++j) w[j] = w[j] + vi * row[j];
    }
}

VELTRIX_INLINE void reflect_left_body(u64 rows, u64 cols, const f64* __restrict v,
                                      const f64* __restrict w, f64* __restrict m, u64 ld) {
    for (u64 i = 0; i < rows; ++i) {
        const f64 s = v[i] + v[i];
        f64* __restrict row = m + i * ld;
        for (u64 j = 0; j < cols; ++j) row[j] = row[j] - s * w[j];
    }
}

VELTRIX_INLINE void reflect_right_body(u64 rows, u64 cols, const f64* __restrict v,
                                       const f64* __restrict u2, f64* __restrict m, u64 ld) {
    for (u64 i = 0; i < rows; ++i) {
        const f64 vi = v[i];
        f64* __restrict row = m + i * ld;
        for (u64 j = 0; j < cols; ++j) row[j] = row[j] - u2[j] * vi;
    }
}

// Both passes of one reflection over a block of NV*W columns with the column sums held
// in registers; the sums over i still run one row after another.
template <class I, Reflect F, int NV = I::ReflectNV>
VELTRIX_INLINE void reflect_block(u64 rows, const f64* __restrict v, f64* __restrict m, u64 ld) {
    using V = typename I::V;
    constexpr int W = I::W;
    V acc[NV];
    for (int q = 0; q < NV; ++q) acc[q] = V{};
    for (u64 i = 0; i < rows; ++i) {
        const f64 vi = v[i];
        const f64* row = m + i * ld;
        for (int q = 0; q < NV; ++q) acc[q] = acc[q] + vi * vload<V>(row + q * W);
    }
    if constexpr (F == Reflect::left) {
        for (u64 i = 0; i < rows; ++i) {
            const f64 s = v[i] + v[i];
            f64* row = m + i * ld;
            for (int q = 0; q < NV; ++q) vstore(row + q * W, vload<V>(row + q * W) - s * acc[q]);
        }
    } else {
        V twice[NV];
        for (int q = 0; q < NV; ++q) twice[q] = acc[q] + acc[q];
        for (u64 i = 0; i < rows; ++i) {
            const f64 vi = v[i];
            f64* row = m + i * ld;
            for (int q = 0; q < NV; ++q) vstore(row + q * W, vload<V>(row + q * W) - twice[q] * vi);
        }
    }
}

// The left reflection over NV vectors of columns that also returns the sum 0.0 + the
// squares of column `col` in rows 1, 2, ... after the update, in row order; formed as each
// row is written, so this sum's chain of additions overlaps the update.
template <class I, int NV>
VELTRIX_INLINE void reflect_left_norm_block(u64 rows, const f64* __restrict v, f64* __restrict m,
                                            u64 ld, u64 col, f64* sq_out) {
    using V = typename I::V;
    constexpr int W = I::W;
    V acc[NV];
    for (int q = 0; q < NV; ++q) acc[q] = V{};
    for (u64 i = 0; i < rows; ++i) {
        const f64 vi = v[i];
        const f64* row = m + i * ld;
        for (int q = 0; q < NV; ++q) acc[q] = acc[q] + vi * vload<V>(row + q * W);
    }
    f64 sq = 0.0;
    for (u64 i = 0; i < rows; ++i) {
        const f64 s = v[i] + v[i];
        f64* row = m + i * ld;
        for (int q = 0; q < NV; ++q) vstore(row + q * W, vload<V>(row + q * W) - s * acc[q]);
        if (i > 0) sq = sq + row[col] * row[col];
    }
    *sq_out = sq;
}

template <class I, int NV = 1>
VELTRIX_INLINE bool reflect_left_norm_body(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, u64 col,
                                           f64* sq_out) {
    if constexpr (NV <= I::ReflectNV) {
        if (cols == u64(NV) * I::W) {
            reflect_left_norm_block<I, NV>(rows, v, m, ld, col, sq_out);
            return true;
        }
        return reflect_left_norm_body<I, NV + 1>(rows, cols, v, m, ld, col, sq_out);
    }
    return false;
}

template <class I, Reflect F, int NV = 1>
VELTRIX_INLINE void reflect_block_n(u64 nv, u64 rows, const f64* v, f64* m, u64 ld) {
    if constexpr (NV < I::ReflectNV) {
        if (nv == u64(NV)) reflect_block<I, F, NV>(rows, v, m, ld);
        else reflect_block_n<I, F, NV + 1>(nv, rows, v, m, ld);
    }
}

template <class I>
VELTRIX_INLINE void reflect_body(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, Reflect form,
                                 f64* w) {
    constexpr u64 B = u64(I::ReflectNV) * I::W;
    u64 j = 0;
    for (; j + B <= cols; j += B) {
        if (form == Reflect::left) reflect_block<I, Reflect::left>(rows, v, m + j, ld);
        else reflect_block<I, Reflect::right>(rows, v, m + j, ld);
    }
    // Whole vectors left over: one sweep with as many accumulators as there are vectors.
    const u64 nv = (cols - j) / I::W;
    if (nv > 0) {
        if (form == Reflect::left) reflect_block_n<I, Reflect::left>(nv, rows, v, m + j, ld);
        else reflect_block_n<I, Reflect::right>(nv, rows, v, m + j, ld);
        j += nv * I::W;
    }
    const u64 rest = cols - j;
    if (rest == 0) return;
    weighted_row_sum_body(rows, rest, v, m + j, ld, w);
    if (form == Reflect::left) {
        reflect_left_body(rows, rest, v, w, m + j, ld);
    } else {
        for (u64 c = 0; c < rest; ++c) w[c] = w[c] + w[c];
        reflect_right_body(rows, rest, v, w, m + j, ld);
    }
}

// reflect_steps over FNV*W columns: the sums of the next applied step are accumulated
// from each row right after this step has written it, when the row is final for the
// next step's purposes; rows above that step's first row are only updated.
template <class I, Reflect F, int NV>
VELTRIX_INLINE void reflect_steps_block(u64 rows, u64 k_begin, u64 k_end, const f64* vs,
                                        u64 vstride, const unsigned char* applied, f64* m,
                                        u64 ld) {
    using V = typename I::V;
    constexpr int W = I::W;
    auto next_applied = [&](u64 k) {
        while (k < k_end && !applied[k]) ++k;
        return k;
    };
    u64 k = next_applied(k_begin);
    if (k >= k_end) return;
    V acc[NV];
    {
        const f64* v = vs + k * vstride;
        for (int q = 0; q < NV; ++q) acc[q] = V{};
        for (u64 r = k; r < rows; ++r) {
            const f64 vi = v[r - k];
            const f64* row = m + r * ld;
            for (int q = 0; q < NV; ++q) acc[q] = acc[q] + vi * vload<V>(row + q * W);
        }
    }
    while (k < k_end) {
        const u64 kn = next_applied(k + 1);
        const f64* v = vs + k * vstride;
        const f64* vn = kn < k_end ? vs + kn * vstride : nullptr;
        V nacc[NV];
        for (int q = 0; q < NV; ++q) nacc[q] = V{};
        if constexpr (F == Reflect::right)
            for (int q = 0; q < NV; ++q) acc[q] = acc[q] + acc[q];
        const u64 split = vn ? kn : rows;  // first row the next step reads
        for (u64 r = k; r < split; ++r) {
            f64* row = m + r * ld;
            const f64 vi = v[r - k];
            if constexpr (F == Reflect::left) {
                const f64 s = vi + vi;
                for (int q = 0; q < NV; ++q) vstore(row + q * W, vload<V>(row + q * W) - s * acc[q]);
            } else {
                for (int q = 0; q < NV; ++q) vstore(row + q * W, vload<V>(row + q * W) - acc[q] * vi);
            }
        }
        if (vn) {
            for (u64 r = split; r < rows; ++r) {
                f64* row = m + r * ld;
                const f64 vi = v[r - k];
                const f64 vni = vn[r - kn];
                if constexpr (F == Reflect::left) {
                    const f64 s = vi + vi;
                    for (int q = 0; q < NV; ++q) {
                        const V x = vload<V>(row + q * W) - s * acc[q];
                        vstore(row + q * W, x);
                        nacc[q] = nacc[q] + vni * x;
                    }
                } else {
                    for (int q = 0; q < NV; ++q) {
                        const V x = vload<V>(row + q * W) - acc[q] * vi;
                        vstore(row + q * W, x);
                        nacc[q] = nacc[q] + vni * x;
                    }
                }
            }
        }
        for (int q = 0; q < NV; ++q) acc[q] = nacc[q];
        k = kn;
    }
}

template <class I, int NV>
VELTRIX_INLINE void reflect_steps_cols(u64 rows, u64 k_begin, u64 k_end, const f64* vs, u64 vstride,
                                       const unsigned char* applied, f64* m, u64 ld, Reflect form) {
    if (form == Reflect::left)
        reflect_steps_block<I, Reflect::left, NV>(rows, k_begin, k_end, vs, vstride, applied, m, ld);
    else
        reflect_steps_block<I, Reflect::right, NV>(rows, k_begin, k_end, vs, vstride, applied, m, ld);
}

// Wide column blocks first (more independent sums per row and fewer passes), then one
// narrower block for what is left.
template <class I>
VELTRIX_INLINE void reflect_steps_body(u64 rows, u64 cols, u64 k_begin, u64 k_end, const f64* vs,
                                       u64 vstride, const unsigned char* applied, f64* m, u64 ld,
                                       Reflect form, f64* w) {
    constexpr int NV = I::FusedNV, W = I::W;
    u64 j = 0;
    for (; j + u64(NV * W) <= cols; j += NV * W)
        reflect_steps_cols<I, NV>(rows, k_begin, k_end, vs, vstride, applied, m + j, ld, form);
    if constexpr (NV >= 2) {
        if (j + u64(NV / 2 * W) <= cols) {
            reflect_steps_cols<I, NV / 2>(rows, k_begin, k_end, vs, vstride, applied, m + j, ld, form);
            j += NV / 2 * W;
        }
    }
    if constexpr (NV >= 4) {
        if (j + u64(NV / 4 * W) <= cols) {
            reflect_steps_cols<I, NV / 4>(rows, k_begin, k_end, vs, vstride, applied, m + j, ld, form);
            j += NV / 4 * W;
        }
    }
    if (j == cols) return;
    for (u64 k = k_begin; k < k_end; ++k)
        if (applied[k]) reflect_body<I>(rows - k, cols - j, vs + k * vstride, m + k * ld + j, ld, form, w);
}

// The vector loops (copy, division) run at the set's width; the two sums stay one
// accumulator each, in ascending order.
VELTRIX_INLINE bool householder_vector_body(u64 len, const f64* __restrict x, u64 stride,
                                            f64* __restrict v, const f64* x_sq) {
    f64 sq = 0.0;
    if (x_sq) sq = *x_sq;
    else
        for (u64 i = 0; i < len; ++i) sq = sq + x[i * stride] * x[i * stride];
    const f64 norm_x = std::sqrt(sq);
    if (norm_x < 1e-14) return false;
    const f64 sign = x[0] >= 0.0 ? 1.0 : -1.0;
    v[0] = x[0] + sign * norm_x;
    sq = 0.0 + v[0] * v[0];
    for (u64 i = 1; i < len; ++i) {
        v[i] = x[i * stride];
        sq = sq + v[i] * v[i];
    }
    const f64 norm_v = std::sqrt(sq);
    if (norm_v < 1e-14) return false;
    for (u64 i = 0; i < len; ++i) v[i] = v[i] / norm_v;
    return true;
}

// One copy of every kernel per instruction set (I for the reflections, G for the matrix
// product). The bodies are always inlined, so each copy is compiled for its own target;
// the operations per element are the same in all.
#define VELTRIX_KERNEL_SET(suffix, I, G, ATTR)                                                    \
    ATTR void reflect_steps_##suffix(u64 rows, u64 cols, u64 k_begin, u64 k_end, const f64* vs, \
                                     u64 vstride, const unsigned char* applied, f64* m, u64 ld, \
                                     Reflect form, f64* w) {                                     \
        reflect_steps_body<I>(rows, cols, k_begin, k_end, vs, vstride, applied, m, ld, form, w); \
    }                                                                                            \
    ATTR void reflect_##suffix(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, Reflect form,  \
                               f64* w) {                                                         \
        reflect_body<I>(rows, cols, v, m, ld, form, w);                                          \
    }                                                                                            \
    ATTR void gemm_##suffix(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, u64 ldc,           \
                            bool accumulate, u64 tri) {                                          \
        gemm_body<G>(m, q, n, a, b, c, ldc, accumulate, tri);                                    \
    }                                                                                            \
    ATTR bool householder_vector_##suffix(u64 len, const f64* x, u64 stride, f64* v,            \
                                          const f64* x_sq) {                                     \
        return householder_vector_body(len, x, stride, v, x_sq);                                 \
    }                                                                                            \
    ATTR bool reflect_left_norm_##suffix(u64 rows, u64 cols, const f64* v, f64* m, u64 ld,      \
                                         u64 col, f64* sq) {                                     \
        return reflect_left_norm_body<I>(rows, cols, v, m, ld, col, sq);                         \
    }                                                                                            \
    ATTR void gemv_##suffix(u64 m, u64 n, const f64* a, const f64* x, f64* y) {                  \
        gemv_body<I>(m, n, a, x, y);                                                             \
    }                                                                                            \
    ATTR void gevm_##suffix(u64 n, u64 q, const f64* x, const f64* b, f64* y) {                  \
        gevm_body(n, q, x, b, y);                                                                \
    }

VELTRIX_KERNEL_SET(generic, GenericIsa, GenericIsa, )
VELTRIX_KERNEL_SET(avx2, Avx2Isa, Avx2Isa, VELTRIX_TARGET_AVX2)
VELTRIX_KERNEL_SET(avx512, Avx512Isa, Avx512Isa, VELTRIX_TARGET_AVX512)
// The AVX-512 blocking and tiles built from AVX2 instructions, for the native checks: only
// builds that make them compile this set (it is the largest of the four, since every
// eight-lane operation becomes two, and no user calls it).
#if VELTRIX_EMULATED_KERNELS
VELTRIX_KERNEL_SET(avx512_as_avx2, Avx512Isa, Avx512Isa, VELTRIX_TARGET_AVX2)
#define VELTRIX_EMULATED_CASE(fn, ...) \
    case static_cast<int>(avx512_as_avx2): fn##_avx512_as_avx2(__VA_ARGS__); break;
#else
#define VELTRIX_EMULATED_CASE(fn, ...)
#endif

#define VELTRIX_DISPATCH(isa, fn, ...)                                                           \
    switch (static_cast<int>(isa)) {                                                             \
    case static_cast<int>(Isa::avx512): fn##_avx512(__VA_ARGS__); break;                         \
    case static_cast<int>(Isa::avx2): fn##_avx2(__VA_ARGS__); break;                             \
    VELTRIX_EMULATED_CASE(fn, __VA_ARGS__)                                                       \
    default: fn##_generic(__VA_ARGS__); break;                                                   \
    }

}  // namespace

void gemm(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, Isa isa) {
    VELTRIX_DISPATCH(isa, gemm, m, q, n, a, b, c, q, false, 0)
}

void gemm_upper(u64 m, u64 q, u64 n, u64 tri, MatRef a, MatRef b, f64* c, Isa isa) {
    VELTRIX_DISPATCH(isa, gemm, m, q, n, a, b, c, q, false, tri)
}

void gemm_accumulate(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, u64 ldc, Isa isa) {
    VELTRIX_DISPATCH(isa, gemm, m, q, n, a, b, c, ldc, true, 0)
}

void gemv(u64 m, u64 n, const f64* a, const f64* x, f64* y, Isa isa) {
    VELTRIX_DISPATCH(isa, gemv, m, n, a, x, y)
}

void gevm(u64 n, u64 q, const f64* x, const f64* b, f64* y, Isa isa) {
    VELTRIX_DISPATCH(isa, gevm, n, q, x, b, y)
}

bool householder_vector(u64 len, const f64* x, u64 stride, f64* v, const f64* x_sq, Isa isa) {
    switch (static_cast<int>(isa)) {
#if VELTRIX_EMULATED_KERNELS
    case static_cast<int>(avx512_as_avx2): return householder_vector_avx512_as_avx2(len, x, stride, v, x_sq);
#endif
    case static_cast<int>(Isa::avx512): return householder_vector_avx512(len, x, stride, v, x_sq);
    case static_cast<int>(Isa::avx2): return householder_vector_avx2(len, x, stride, v, x_sq);
    default: return householder_vector_generic(len, x, stride, v, x_sq);
    }
}

bool reflect_left_norm(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, u64 col, f64* sq, Isa isa) {
    switch (static_cast<int>(isa)) {
#if VELTRIX_EMULATED_KERNELS
    case static_cast<int>(avx512_as_avx2): return reflect_left_norm_avx512_as_avx2(rows, cols, v, m, ld, col, sq);
#endif
    case static_cast<int>(Isa::avx512): return reflect_left_norm_avx512(rows, cols, v, m, ld, col, sq);
    case static_cast<int>(Isa::avx2): return reflect_left_norm_avx2(rows, cols, v, m, ld, col, sq);
    default: return reflect_left_norm_generic(rows, cols, v, m, ld, col, sq);
    }
}

void reflect(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, Reflect form, Isa isa) {
    f64 w[max_reflect_block];  // sums of the columns left over after the register blocks
    VELTRIX_DISPATCH(isa, reflect, rows, cols, v, m, ld, form, w)
}

void reflect_steps(u64 rows, u64 cols, u64 k_begin, u64 k_end, const f64* vs, u64 vstride,
                   const unsigned char* applied, f64* m, u64 ld, Reflect form, Isa isa) {
    f64 w[max_reflect_block];
    VELTRIX_DISPATCH(isa, reflect_steps, rows, cols, k_begin, k_end, vs, vstride, applied, m, ld,
                     form, w)
}

}  // namespace veltrix::kernels
