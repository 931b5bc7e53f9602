// The hot loops here are element-wise (each result element gets its own fixed sequence of
// operations), so the vectorised copies compiled per instruction set give the same bits as
// the plain one. A sum across elements is one accumulator in ascending order, except the row
// sums of the tridiagonal reduction, whose interleaved partial sums are fixed by their kernel.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "array/solvers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array/cancel.hpp"
#include "array/linalg_kernels.hpp"
#include "array/storage.hpp"

namespace veltrix {

namespace {


// ---------------------------------------------------------------------------------------------
// Messages

std::string need_matrix(const char* fn, const char* arg, const Shape& s) {
    return std::string(fn) + ": " + arg + " must be a 2D matrix, got shape " + s.to_string();
}
std::string need_square(const char* fn, const Shape& s) {
    return std::string(fn) + ": a must be a square matrix, got shape " + s.to_string();
}
std::string need_finite(const char* fn, const char* arg) {
    return std::string(fn) + ": " + arg + " must not contain NaN or infinity";
}
std::string need_rhs(const char* fn, const Shape& s) {
    return std::string(fn) + ": b must be a vector or a 2D matrix, got shape " + s.to_string();
}
std::string rhs_rows(const char* fn, u64 rows, const Shape& s) {
    return std::string(fn) + ": b must have " + std::to_string(rows) +
           " rows to match a, got shape " + s.to_string();
}
constexpr const char* singular = "Matrix is singular";

// ---------------------------------------------------------------------------------------------
// Checks shared by the entry points

bool all_finite(const Storage<f64>& x) {
    for (f64 v : x)
        if (!std::isfinite(v)) return false;
    return true;
}

bool lower_finite(u64 n, const f64* a) {
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j)
            if (!std::isfinite(a[i * n + j])) return false;
    return true;
}

// The message refusing `a` as a square matrix (with finite entries, when asked), or empty.
std::string square_problem(const char* fn, const Array64& a, bool finite = true) {
    if (a.ndim() != 2) return need_matrix(fn, "a", a.shape);
    if (a.shape[0] != a.shape[1]) return need_square(fn, a.shape);
    if (finite && !all_finite(a.data)) return need_finite(fn, "a");
    return {};
}

// The message refusing `b` as right-hand sides for `rows` equations, or empty.
std::string rhs_problem(const char* fn, u64 rows, const Array64& b) {
    if (b.ndim() != 1 && b.ndim() != 2) return need_rhs(fn, b.shape);
    if (b.shape[0] != rows) return rhs_rows(fn, rows, b.shape);
    if (!all_finite(b.data)) return need_finite(fn, "b");
    return {};
}

u64 rhs_columns(const Array64& b) { return b.ndim() == 2 ? b.shape[1] : 1; }

// ---------------------------------------------------------------------------------------------
// Exact power-of-two scaling, so that sums of squares neither overflow nor lose small inputs
// to underflow. The factor is applied as two halves, each a normal number, so that neither
// multiplication overflows or underflows on the way.

// Multiplication by 2^e as two exact halves.
struct Pow2 {
    f64 f1, f2;
    f64 apply(f64 x) const { return x * f1 * f2; }
};

Pow2 pow2(int e) {
    const int h = e / 2;
    return {std::ldexp(1.0, h), std::ldexp(1.0, e - h)};
}

// The e with amax·2^−e in [0.5, 1); 0 for amax = 0.
int exponent_of(f64 amax) {
    int e = 0;
    if (amax != 0.0) (void)std::frexp(amax, &e);
    return e;
}

f64 max_abs(const f64* x, u64 n) {
    f64 m = 0.0;
    for (u64 i = 0; i < n; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

// ---------------------------------------------------------------------------------------------
// Householder reflector H = I − 2·v·vᵀ (v a unit vector) with H·x = beta·e₀.
//
// Returns false, with beta = x[0], when nothing below x[0] needs annihilating, or when x[0] is
// zero and the squares of what is below it underflow (entries far below the scaled input's
// largest, left in place).

bool reflector(u64 len, const f64* x, u64 stride, f64* v, f64* beta) {
    *beta = x[0];
    bool tail = false;
    for (u64 i = 1; i < len; ++i) tail = tail || x[i * stride] != 0.0;
    if (!tail) return false;
    f64 sq = 0.0;
    for (u64 i = 0; i < len; ++i) sq = sq + x[i * stride] * x[i * stride];
    const f64 norm = std::sqrt(sq);
    if (norm == 0.0) return false;
    const f64 s = x[0] >= 0.0 ? 1.0 : -1.0;
    v[0] = x[0] + s * norm;
    f64 vsq = 0.0 + v[0] * v[0];
    for (u64 i = 1; i < len; ++i) {
        v[i] = x[i * stride];
        vsq = vsq + v[i] * v[i];
    }
    const f64 vnorm = std::sqrt(vsq);
    for (u64 i = 0; i < len; ++i) v[i] = v[i] / vnorm;
    *beta = -s * norm;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Element-wise kernels, one copy per instruction set.

// Vector types and unaligned loads and stores come from ops/isa.hpp.

// The four interleaved partial sums of a row below, in vectors of V.
template <class V>
using RowSums = V[4 / (sizeof(V) / sizeof(f64))];

// One row of the lower triangle of a symmetric block in the tridiagonal reduction: entries
// x[0 .. len−1], x[len−1] on the diagonal. With Update, first x[j] = x[j] − (vi·w[j] + wi·v[j])
// (the rank-2 update B − v·wᵀ − w·vᵀ). With Product, then the row's terms of y = B·u for the
// symmetric B: y[j] = y[j] + x[j]·u_r for j < len−1, and returns the row's own sum
// x[0]·u[0] + ... + x[len−2]·u[len−2] + x[len−1]·u_r, where the off-diagonal part is summed in
// four interleaved partial sums (entry j into sum j mod 4, each in ascending j), combined as
// (s0 + s1) + (s2 + s3), then the diagonal term added: a fixed order for every instruction set.
// sym_row_from(j, acc, ...) does the same from entry j on, with the partial sums of the entries
// before j in acc (j a multiple of 4), for a caller that did those entries itself.
template <class V, bool Update, bool Product>
VELTRIX_INLINE f64 sym_row_from(u64 j, RowSums<V>& acc, u64 len, f64* __restrict x, f64 vi, f64 wi,
                                const f64* __restrict w, const f64* __restrict v, const f64* __restrict u,
                                f64 ur, f64* __restrict y) {
    constexpr u64 W = sizeof(V) / sizeof(f64), NA = 4 / W;
    const u64 off = len - 1;  // entries left of the diagonal
    for (; j + 4 <= off; j += 4) {
        for (u64 q = 0; q < NA; ++q) {
            V xv = vload<V>(x + j + q * W);
            if constexpr (Update) {
                xv = xv - (vi * vload<V>(w + j + q * W) + wi * vload<V>(v + j + q * W));
                vstore(x + j + q * W, xv);
            }
            if constexpr (Product) {
                vstore(y + j + q * W, vload<V>(y + j + q * W) + xv * ur);
                acc[q] = acc[q] + xv * vload<V>(u + j + q * W);
            }
        }
    }
    f64 lanes[4];
    for (u64 q = 0; q < NA; ++q) vstore(lanes + q * W, acc[q]);
    for (; j < len; ++j) {
        f64 xj = x[j];
        if constexpr (Update) {
            xj = xj - (vi * w[j] + wi * v[j]);
            x[j] = xj;
        }
        if constexpr (Product) {
            if (j < off) {
                y[j] = y[j] + xj * ur;
                lanes[j % 4] = lanes[j % 4] + xj * u[j];
            }
        }
    }
    if constexpr (!Product) return 0.0;
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + x[off] * ur;
}

template <class V, bool Update, bool Product>
VELTRIX_INLINE f64 sym_row_body(u64 len, f64* __restrict x, f64 vi, f64 wi, const f64* __restrict w,
                                const f64* __restrict v, const f64* __restrict u, f64 ur,
                                f64* __restrict y) {
    RowSums<V> acc;
    for (V& a : acc) a = V{};
    return sym_row_from<V, Update, Product>(0, acc, len, x, vi, wi, w, v, u, ur, y);
}

// Rows r and r+1 of one step together (x0 of length len, x1 of length len + 1): every element
// gets the operations, in the order, of sym_row_body on row r and then on row r+1 (row r's term
// of y[j] before row r+1's), and row r's sum is added into y[len − 1] before row r+1 adds its
// term there, as the caller of two single rows does. The two rows' sums are then independent
// chains of adds; one row's single chain bounds the one-row kernel. Returns row r+1's sum.
template <class V, bool Update>
VELTRIX_INLINE f64 sym_row_pair_body(u64 len, f64* __restrict x0, f64* __restrict x1, f64 vi0, f64 wi0,
                                     f64 vi1, f64 wi1, const f64* __restrict w, const f64* __restrict v,
                                     const f64* __restrict u, f64 ur0, f64 ur1, f64* __restrict y) {
    constexpr u64 W = sizeof(V) / sizeof(f64), NA = 4 / W;
    RowSums<V> acc0, acc1;
    for (u64 q = 0; q < NA; ++q) acc0[q] = acc1[q] = V{};
    const u64 off0 = len - 1, off1 = len;
    u64 j = 0;
    // Two blocks an iteration: 4-7 % faster (eigvalsh, Intel Xeon); four gained nothing more.
#pragma GCC unroll 2
    for (; j + 4 <= off0; j += 4) {
        for (u64 q = 0; q < NA; ++q) {
            const u64 at = j + q * W;
            V a = vload<V>(x0 + at), b = vload<V>(x1 + at);
            if constexpr (Update) {
                const V wv = vload<V>(w + at), vv = vload<V>(v + at);
                a = a - (vi0 * wv + wi0 * vv);
                b = b - (vi1 * wv + wi1 * vv);
                vstore(x0 + at, a);
                vstore(x1 + at, b);
            }
            const V uv = vload<V>(u + at);
            vstore(y + at, (vload<V>(y + at) + a * ur0) + b * ur1);
            acc0[q] = acc0[q] + a * uv;
            acc1[q] = acc1[q] + b * uv;
        }
    }
    // Each row to its end as the one-row kernel finishes it: row r's sum goes into y[len − 1]
    // before row r+1 adds its term there.
    y[off0] = y[off0] + sym_row_from<V, Update, true>(j, acc0, len, x0, vi0, wi0, w, v, u, ur0, y);
    return sym_row_from<V, Update, true>(j, acc1, off1 + 1, x1, vi1, wi1, w, v, u, ur1, y);
}

// y[j] = y[j] + s·x[j].
VELTRIX_INLINE void axpy_body(u64 n, f64 s, const f64* __restrict x, f64* __restrict y) {
    for (u64 j = 0; j < n; ++j) y[j] = y[j] + s * x[j];
}

// One QL sweep's plane rotations: for i = hi−1 down to lo, rows i and i+1 become
// (c·x_i − s·x_{i+1}, s·x_i + c·x_{i+1}), with c and s from rotation off + i − lo of a batch.
struct Sweep {
    u64 lo, hi, off;
};

// Finished sweeps waiting to be applied to the vectors; rotation i of a sweep has its cosine
// at cs[2·(off + i − lo)] and its sine next to it.
struct SweepBatch {
    std::vector<Sweep> sweeps;
    std::vector<f64> cs;

    u64 rotations() const { return cs.size() / 2; }
    void push(u64 lo, u64 hi, const f64* c, const f64* s) {
        if (lo >= hi) return;
        sweeps.push_back({lo, hi, rotations()});
        for (u64 i = lo; i < hi; ++i) {
            cs.push_back(c[i]);
            cs.push_back(s[i]);
        }
    }
    void clear() {
        sweeps.clear();
        cs.clear();
    }
    // Moves the first k sweeps of `from` here, replacing what was here.
    void take_front(SweepBatch& from, u64 k) {
        const u64 rot = k == 0 ? 0 : from.sweeps[k - 1].off + (from.sweeps[k - 1].hi - from.sweeps[k - 1].lo);
        sweeps.assign(from.sweeps.begin(), from.sweeps.begin() + i64(k));
        cs.assign(from.cs.begin(), from.cs.begin() + i64(2 * rot));
        from.sweeps.erase(from.sweeps.begin(), from.sweeps.begin() + i64(k));
        from.cs.erase(from.cs.begin(), from.cs.begin() + i64(2 * rot));
        for (Sweep& w : from.sweeps) w.off -= rot;
    }
};

// sqrt(a² + b²) without overflow or harmful underflow.
f64 pythag(f64 a, f64 b) {
    const f64 x = std::fabs(a), y = std::fabs(b);
    if (x > y) {
        const f64 r = y / x;
        return x * std::sqrt(1.0 + r * r);
    }
    if (y == 0.0) return 0.0;
    const f64 r = x / y;
    return y * std::sqrt(1.0 + r * r);
}

// The same from one square root while the sum of squares is safely inside the normal range.
VELTRIX_INLINE f64 hypot_fast(f64 a, f64 b) {
    const f64 sq = a * a + b * b;
    if (sq >= 0x1p-900 && sq <= 0x1p900) [[likely]]
        return std::sqrt(sq);
    return pythag(a, b);
}

// |a| with the sign of b (b = −0.0 counts as positive).
f64 with_sign(f64 a, f64 b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }

// The implicit QL iteration with Wilkinson shifts on the symmetric tridiagonal (d, e), leaving
// the eigenvalues, unsorted, in d. Each sweep chases the bulge from the bottom of the
// unreduced block [l, m] up to l with the shift of the leading 2×2 block's eigenvalue nearer
// d[l]. An off-diagonal entry is negligible when e² <= ε²·|d[m]|·|d[m+1]| + (smallest normal),
// a test that respects graded matrices. Finished sweeps go to `out` when given.
//
// It runs one rotation per step(): a chain of dependent divisions and square roots that
// leaves the arithmetic units mostly idle, so the kernels applying earlier sweeps to the
// vectors call step() between their own rows and the two overlap.
class QlIteration {
public:
    QlIteration(u64 n, f64* d, f64* e, SweepBatch* out)
        : n_(n), d_(d), e_(e), out_(out), cs_(n), ss_(n), budget_(30 * n), batch_cap_(8 * n) {
        seek();
    }

    bool running() const { return state_ == State::sweep; }
    bool failed() const { return state_ == State::failed; }
    // Running, and the batch of finished sweeps not yet full.
    bool ready() const { return state_ == State::sweep && out_->rotations() < batch_cap_; }

    // The next rotation of the current sweep (only while running()).
    VELTRIX_INLINE void step() {
        const u64 i = --i_;
        const f64 f = s_ * e_[i], b = c_ * e_[i];
        f64 r = hypot_fast(f, g_);
        e_[i + 1] = r;
        if (r == 0.0) [[unlikely]] {
            cut(i);
            return;
        }
        s_ = f / r;
        c_ = g_ / r;
        g_ = d_[i + 1] - p_;
        r = (d_[i] - g_) * s_ + 2.0 * c_ * b;
        p_ = s_ * r;
        d_[i + 1] = g_ + p_;
        g_ = c_ * r - b;
        cs_[i] = c_;
        ss_[i] = s_;
        if (i == l_) [[unlikely]]
            end_sweep();
    }

    void run() {
        while (running()) step();
    }

private:
    enum class State { sweep, done, failed };

    // Underflow split the block at i+1: the sweep ends there and the block is searched again.
    [[gnu::noinline]] void cut(u64 i) {
        d_[i + 1] = d_[i + 1] - p_;
        e_[m_] = 0.0;
        if (out_) out_->push(i + 1, m_, cs_.data(), ss_.data());
        seek();
    }

    [[gnu::noinline]] void end_sweep() {
        if (out_) out_->push(l_, m_, cs_.data(), ss_.data());
        d_[l_] = d_[l_] - p_;
        e_[l_] = g_;
        e_[m_] = 0.0;
        seek();
    }

    // Starts the next sweep: on the block at l if it is still unreduced, else at the next l.
    [[gnu::noinline]] void seek() {
        constexpr f64 eps = std::numeric_limits<f64>::epsilon() / 2;
        constexpr f64 eps2 = eps * eps;
        constexpr f64 safmin = std::numeric_limits<f64>::min();
        for (; l_ < n_; ++l_) {
            if (l_ % 64 == 0 && polled_ != l_) {
                polled_ = l_;
                cancel::check();
            }
            u64 m = l_;
            for (; m + 1 < n_; ++m)
                if (e_[m] * e_[m] <= (eps2 * std::fabs(d_[m])) * std::fabs(d_[m + 1]) + safmin) break;
            if (m == l_) continue;
            if (budget_-- == 0) {
                state_ = State::failed;
                return;
            }
            const u64 l = l_;
            f64 g = (d_[l + 1] - d_[l]) / (2.0 * e_[l]);
            const f64 r = hypot_fast(g, 1.0);
            g_ = d_[m] - d_[l] + e_[l] / (g + with_sign(r, g));
            s_ = 1.0;
            c_ = 1.0;
            p_ = 0.0;
            m_ = m;
            i_ = m;
            state_ = State::sweep;
            return;
        }
        state_ = State::done;
    }

    u64 n_;
    f64* d_;
    f64* e_;
    SweepBatch* out_;
    std::vector<f64> cs_, ss_;
    u64 budget_;
    u64 batch_cap_;  // rotations: the batch's cosines and sines stay in cache
    u64 l_ = 0, m_ = 0, i_ = 0, polled_ = ~u64{0};
    f64 g_ = 0.0, s_ = 1.0, c_ = 1.0, p_ = 0.0;
    State state_ = State::done;
};

// Kernel rows between two QL steps, whose arithmetic covers a step's latency; the iteration
// then runs ahead of the application and waits at full batches.
constexpr int ql_spacing = 8;

// Sweeps applied together, `wave` at a time, as a wavefront: at step r sweep j does its
// rotation i = r + j (when i is in [lo, hi)). The row sweep j finishes at that step, i + 1, is exactly
// the row sweep j+1 needs next, so it passes on in registers: each step loads one row and
// stores one, and every element still receives each sweep's operations in sweep order, the
// same operations as applying the sweeps one after another. A sweep outside its range passes
// rows through unchanged (its carry then simply lags one row behind).
constexpr int wave = 4;

template <class V, int NV>
VELTRIX_INLINE void rotate_wave(f64* z, u64 ld, const Sweep* sw, const f64* __restrict cs,
                                QlIteration* ql, int& countdown) {
    constexpr u64 W = sizeof(V) / sizeof(f64);
    // Sweep j's (c, s) at step r: cs_j[2r], cs_j[2r + 1], valid for r in [lo[j], hi[j]).
    i64 lo[wave], hi[wave];
    const f64* cs_j[wave];
    i64 top = 0, bottom = std::numeric_limits<i64>::max();
    i64 full_lo = std::numeric_limits<i64>::min(), full_hi = std::numeric_limits<i64>::max();
    for (int j = 0; j < wave; ++j) {
        lo[j] = i64(sw[j].lo) - j;
        hi[j] = i64(sw[j].hi) - j;
        cs_j[j] = cs + 2 * (i64(sw[j].off) - lo[j]);
        if (lo[j] < hi[j]) {
            top = std::max(top, hi[j] + j);
            bottom = std::min(bottom, lo[j] + j);
        }
        full_lo = std::max(full_lo, lo[j]);
        full_hi = std::min(full_hi, hi[j] - 1);
    }
    if (bottom > top) return;
    V carry[wave][NV];
    for (int j = 0; j < wave; ++j)
        for (int q = 0; q < NV; ++q) carry[j][q] = V{};
    V x[NV];
    const auto rotate = [&](int j, i64 r) __attribute__((always_inline)) {
        const f64 ci = cs_j[j][2 * r], si = cs_j[j][2 * r + 1];
        for (int q = 0; q < NV; ++q) {
            const V t = x[q];
            x[q] = si * t + ci * carry[j][q];
            carry[j][q] = ci * t - si * carry[j][q];
        }
    };
    const auto tick = [&]() __attribute__((always_inline)) {
        if (--countdown == 0) {
            countdown = ql_spacing;
            if (ql->ready()) ql->step();
        }
    };
    // Every step of the group's range; where all sweeps are inside theirs (the bulk of it for
    // sweeps of one block), a loop without the range tests.
    const i64 last = bottom - wave;
    const i64 fast_hi = std::min(full_hi, top), fast_lo = std::max(full_lo, last);
    for (i64 r = top; r >= last;) {
        if (r == fast_hi && fast_lo <= fast_hi) {
            for (; r >= fast_lo; --r) {
                for (int q = 0; q < NV; ++q) x[q] = vload<V>(z + u64(r) * ld + q * W);
                for (int j = 0; j < wave; ++j) rotate(j, r);
                for (int q = 0; q < NV; ++q) vstore(z + u64(r + wave) * ld + q * W, x[q]);
                tick();
            }
            continue;
        }
        for (int q = 0; q < NV; ++q) x[q] = r >= bottom ? vload<V>(z + u64(r) * ld + q * W) : V{};
        for (int j = 0; j < wave; ++j) {
            if (r >= lo[j] && r < hi[j])
                rotate(j, r);
            else
                for (int q = 0; q < NV; ++q) std::swap(x[q], carry[j][q]);
        }
        const i64 out = r + wave;
        if (out >= bottom && out <= top)
            for (int q = 0; q < NV; ++q) vstore(z + u64(out) * ld + q * W, x[q]);
        tick();
        --r;
    }
}

// Applies the sweeps in order to a row-major block of `cols` columns, NV vectors of columns at
// a time; sw holds a whole number of groups of `wave` sweeps (empty ones pad the last). The
// iteration ql (producing later sweeps) advances one step every ql_spacing rows.
template <class V, int NV>
VELTRIX_INLINE void rotate_sweeps_body(u64 cols, f64* z, u64 ld, const Sweep* sw, u64 count,
                                       const f64* __restrict cs, QlIteration* ql) {
    constexpr u64 W = sizeof(V) / sizeof(f64), CB = NV * W;
    int countdown = ql_spacing;
    u64 j0 = 0;
    for (; j0 + CB <= cols; j0 += CB)
        for (u64 g = 0; g < count; g += wave) rotate_wave<V, NV>(z + j0, ld, sw + g, cs, ql, countdown);
    for (; j0 + W <= cols; j0 += W)
        for (u64 g = 0; g < count; g += wave) rotate_wave<V, 1>(z + j0, ld, sw + g, cs, ql, countdown);
    for (; j0 < cols; ++j0)
        for (u64 g = 0; g < count; g += wave) rotate_wave<f64, 1>(z + j0, ld, sw + g, cs, ql, countdown);
}

#define VELTRIX_SOLVER_SET(suffix, V, ATTR)                                                            \
    ATTR void sym_update_##suffix(u64 len, f64* x, f64 vi, f64 wi, const f64* w, const f64* v) { \
        sym_row_body<V, true, false>(len, x, vi, wi, w, v, nullptr, 0.0, nullptr);                \
    }                                                                                             \
    ATTR f64 sym_update_product_##suffix(u64 len, f64* x, f64 vi, f64 wi, const f64* w,           \
                                         const f64* v, const f64* u, f64 ur, f64* y) {           \
        return sym_row_body<V, true, true>(len, x, vi, wi, w, v, u, ur, y);                       \
    }                                                                                             \
    ATTR f64 sym_product_##suffix(u64 len, f64* x, const f64* u, f64 ur, f64* y) {               \
        return sym_row_body<V, false, true>(len, x, 0.0, 0.0, nullptr, nullptr, u, ur, y);        \
    }                                                                                             \
    ATTR f64 sym_update_product_pair_##suffix(u64 len, f64* x0, f64* x1, f64 vi0, f64 wi0,        \
                                              f64 vi1, f64 wi1, const f64* w, const f64* v,       \
                                              const f64* u, f64 ur0, f64 ur1, f64* y) {           \
        return sym_row_pair_body<V, true>(len, x0, x1, vi0, wi0, vi1, wi1, w, v, u, ur0, ur1, y); \
    }                                                                                             \
    ATTR f64 sym_product_pair_##suffix(u64 len, f64* x0, f64* x1, const f64* u, f64 ur0, f64 ur1, \
                                       f64* y) {                                                  \
        return sym_row_pair_body<V, false>(len, x0, x1, 0.0, 0.0, 0.0, 0.0, nullptr, nullptr, u, \
                                           ur0, ur1, y);                                          \
    }                                                                                             \
    ATTR void axpy_##suffix(u64 n, f64 s, const f64* x, f64* y) { axpy_body(n, s, x, y); }

VELTRIX_SOLVER_SET(generic, v2d, )
VELTRIX_SOLVER_SET(avx2, v4d, VELTRIX_TARGET_AVX2)
VELTRIX_SOLVER_SET(avx512, v4d, VELTRIX_TARGET_AVX512)

// The rotations run in four-lane vectors on AVX2 and eight-lane ones on AVX-512: a column block
// (rot_block) is then one pass of two vectors. Where AVX-512 splits each operation in two halves
// eight lanes gain nothing, but on cores with full-width units (an Intel Xeon) they took eigh
// at 500² from 50 to 35 ms.
void rotate_sweeps_generic(u64 cols, f64* z, u64 ld, const Sweep* sw, u64 count, const f64* cs,
                           QlIteration* ql) {
    rotate_sweeps_body<v2d, 2>(cols, z, ld, sw, count, cs, ql);
}
VELTRIX_TARGET_AVX2 void rotate_sweeps_avx2(u64 cols, f64* z, u64 ld, const Sweep* sw, u64 count,
                                            const f64* cs, QlIteration* ql) {
    rotate_sweeps_body<v4d, 2>(cols, z, ld, sw, count, cs, ql);
}
VELTRIX_TARGET_AVX512 void rotate_sweeps_avx512(u64 cols, f64* z, u64 ld, const Sweep* sw, u64 count,
                                                const f64* cs, QlIteration* ql) {
    rotate_sweeps_body<v8d, 2>(cols, z, ld, sw, count, cs, ql);
}

#define VELTRIX_SOLVER_DISPATCH(isa, fn, ...)                                                     \
    switch (isa) {                                                                                \
    case Isa::avx512: fn##_avx512(__VA_ARGS__); break;                                            \
    case Isa::avx2: fn##_avx2(__VA_ARGS__); break;                                                \
    default: fn##_generic(__VA_ARGS__); break;                                                    \
    }

void sym_update(u64 len, f64* x, f64 vi, f64 wi, const f64* w, const f64* v, Isa isa) {
    VELTRIX_SOLVER_DISPATCH(isa, sym_update, len, x, vi, wi, w, v)
}
f64 sym_update_product(u64 len, f64* x, f64 vi, f64 wi, const f64* w, const f64* v, const f64* u,
                       f64 ur, f64* y, Isa isa) {
    switch (isa) {
    case Isa::avx512: return sym_update_product_avx512(len, x, vi, wi, w, v, u, ur, y);
    case Isa::avx2: return sym_update_product_avx2(len, x, vi, wi, w, v, u, ur, y);
    default: return sym_update_product_generic(len, x, vi, wi, w, v, u, ur, y);
    }
}
f64 sym_update_product_pair(u64 len, f64* x0, f64* x1, f64 vi0, f64 wi0, f64 vi1, f64 wi1,
                           const f64* w, const f64* v, const f64* u, f64 ur0, f64 ur1, f64* y, Isa isa) {
    switch (isa) {
    case Isa::avx512: return sym_update_product_pair_avx512(len, x0, x1, vi0, wi0, vi1, wi1, w, v, u, ur0, ur1, y);
    case Isa::avx2: return sym_update_product_pair_avx2(len, x0, x1, vi0, wi0, vi1, wi1, w, v, u, ur0, ur1, y);
    default: return sym_update_product_pair_generic(len, x0, x1, vi0, wi0, vi1, wi1, w, v, u, ur0, ur1, y);
    }
}
f64 sym_product_pair(u64 len, f64* x0, f64* x1, const f64* u, f64 ur0, f64 ur1, f64* y, Isa isa) {
    switch (isa) {
    case Isa::avx512: return sym_product_pair_avx512(len, x0, x1, u, ur0, ur1, y);
    case Isa::avx2: return sym_product_pair_avx2(len, x0, x1, u, ur0, ur1, y);
    default: return sym_product_pair_generic(len, x0, x1, u, ur0, ur1, y);
    }
}
f64 sym_product(u64 len, f64* x, const f64* u, f64 ur, f64* y, Isa isa) {
    switch (isa) {
    case Isa::avx512: return sym_product_avx512(len, x, u, ur, y);
    case Isa::avx2: return sym_product_avx2(len, x, u, ur, y);
    default: return sym_product_generic(len, x, u, ur, y);
    }
}
void axpy(u64 n, f64 s, const f64* x, f64* y, Isa isa) { VELTRIX_SOLVER_DISPATCH(isa, axpy, n, s, x, y) }
void rotate_sweeps(u64 cols, f64* z, u64 ld, const Sweep* sw, u64 count, const f64* cs,
                   QlIteration* ql, Isa isa) {
    VELTRIX_SOLVER_DISPATCH(isa, rotate_sweeps, cols, z, ld, sw, count, cs, ql)
}

// The vectors of the QL iteration are kept in column blocks of rot_block columns (the width the
// rotation kernels work in): block c holds columns c0 .. c0+w−1 (w = min(rot_block, n − c0)) of
// every row, row after row, starting at c0·n. A sweep then runs down contiguous memory.
constexpr u64 rot_block = 16;

u64 block_width(u64 n, u64 c0) { return std::min(rot_block, n - c0); }

void to_blocks(u64 n, const f64* z, f64* zb) {
    for (u64 c0 = 0; c0 < n; c0 += rot_block) {
        const u64 w = block_width(n, c0);
        for (u64 i = 0; i < n; ++i) std::copy(z + i * n + c0, z + i * n + c0 + w, zb + c0 * n + i * w);
    }
}

// ---------------------------------------------------------------------------------------------
// Symmetric tridiagonalisation

// Reduces the symmetric n×n matrix held in the lower triangle of a (row-major; the upper
// triangle is never read) by the reflections H_0 .. H_{n−3} (step k acts on rows and columns
// k+1 ..) to the tridiagonal matrix with diagonal d and off-diagonal e (e[i] couples i and
// i+1; e has n entries, the last set to 0). The unit vector of step k is vs[k·n ..] (n−k−1
// entries) when applied[k] is 1.
//
// Step k, on the trailing block B: p = B·v, K = v·p, w = 2·(p − K·v), B = B − v·wᵀ − w·vᵀ.
// Column 0 of the updated block gives the next step's vector before its other columns are
// written, so each later row, once updated, also adds its terms of the next step's p: one
// pass over the triangle per step.
void tridiagonalise(u64 n, f64* a, f64* d, f64* e, f64* vs, unsigned char* applied, Isa isa) {
    std::fill(e, e + n, 0.0);
    std::fill(applied, applied + n, 0);
    if (n == 0) return;
    std::vector<f64> p(n), pn(n), w(n);
    bool p_ready = false;  // vs[k], e[k] and p of step k already formed by step k−1
    for (u64 k = 0; k + 2 < n; ++k) {
        const u64 m = n - k - 1;
        if (m >= 64) cancel::check();  // a step is one pass over the trailing triangle
        f64* b = a + (k + 1) * n + (k + 1);
        f64* v = vs + k * n;
        d[k] = a[k * n + k];
        if (!p_ready) {
            applied[k] = reflector(m, a + (k + 1) * n + k, n, v, &e[k]) ? 1 : 0;
            if (!applied[k]) continue;
            std::fill(p.begin(), p.begin() + m, 0.0);
            // Rows in pairs (see sym_row_pair_body), the last one alone when m is odd.
            u64 i = 0;
            for (; i + 1 < m; i += 2)
                p[i + 1] = p[i + 1] + sym_product_pair(i + 1, b + i * n, b + (i + 1) * n, v, v[i], v[i + 1],
                                                       p.data(), isa);
            if (i < m) p[i] = p[i] + sym_product(i + 1, b + i * n, v, v[i], p.data(), isa);
        }
        f64 kk = 0.0;
        for (u64 i = 0; i < m; ++i) kk = kk + v[i] * p[i];
        for (u64 i = 0; i < m; ++i) {
            const f64 t = p[i] - kk * v[i];
            w[i] = t + t;
        }
        for (u64 i = 0; i < m; ++i) b[i * n] = b[i * n] - (v[i] * w[0] + w[i] * v[0]);
        bool next = false;
        f64* vn = vs + (k + 1) * n;
        if (k + 3 < n) {
            next = reflector(m - 1, b + n, n, vn, &e[k + 1]);
            applied[k + 1] = next ? 1 : 0;
        }
        if (next) {
            std::fill(pn.begin(), pn.begin() + (m - 1), 0.0);
            u64 i = 1;
            for (; i + 1 < m; i += 2)
                pn[i] = pn[i] + sym_update_product_pair(i, b + i * n + 1, b + (i + 1) * n + 1, v[i], w[i],
                                                        v[i + 1], w[i + 1], w.data() + 1, v + 1, vn,
                                                        vn[i - 1], vn[i], pn.data(), isa);
            if (i < m)
                pn[i - 1] = pn[i - 1] + sym_update_product(i, b + i * n + 1, v[i], w[i], w.data() + 1,
                                                           v + 1, vn, vn[i - 1], pn.data(), isa);
            std::swap(p, pn);
        } else {
            for (u64 i = 1; i < m; ++i) sym_update(i, b + i * n + 1, v[i], w[i], w.data() + 1, v + 1, isa);
        }
        p_ready = next;
    }
    if (n >= 2) {
        d[n - 2] = a[(n - 2) * n + (n - 2)];
        e[n - 2] = a[(n - 1) * n + (n - 2)];
    }
    d[n - 1] = a[(n - 1) * n + (n - 1)];
}

// Qᵀ = H_{n−3} ⋯ H_1·H_0 into qt (n×n, row-major), so that its rows are the columns of Q.
//
// The reflections go in blocks of nb steps. A block's product H_{k0} ⋯ H_{k1−1} is I − V·T·Vᵀ
// (V the block's vectors as columns, T upper triangular: T[j, j] = 2 and above the diagonal
// T[..j, j] = −2·T[..j, ..j]·(V[:, ..j]ᵀ·v_j)), so its transpose is I − V·Tᵀ·Vᵀ. Starting from
// the identity, the blocks are multiplied in from the right, last block first; the product of
// the later blocks is still the identity outside rows and columns k0+1 .., so each block only
// touches that trailing square C: C = C + (−(C·V)·Tᵀ)·Vᵀ, three matrix products.
// The block of steps k0 .. k0 + w − 1 (acting on rows k0 + 1 .. n − 1, m of them) as I − V·T·Vᵀ:
// V (m×w) column j the vector of step k0 + j from row j on, T (w×w) upper triangular; g is w×w
// scratch.
void block_reflector(u64 n, const f64* vs, const unsigned char* applied, u64 k0, u64 w, u64 m, f64* v,
                     f64* t, f64* g, Isa isa) {
    std::fill(v, v + m * w, 0.0);
    std::fill(t, t + w * w, 0.0);
    for (u64 j = 0; j < w; ++j) {
        if (!applied[k0 + j]) continue;
        const f64* vk = vs + (k0 + j) * n;
        for (u64 i = j; i < m; ++i) v[i * w + j] = vk[i - j];
    }
    // The dot products V[:, c]·V[:, j] in one product: the rows above j add only zeros, which
    // leave every sum's bits alone (a zero sum's sign is lost in the +0.0 sums below).
    kernels::gemm(w, w, m, {v, 1, w}, {v, w, 1}, g, isa);
    for (u64 j = 0; j < w; ++j) {
        if (!applied[k0 + j]) continue;
        for (u64 r = 0; r < j; ++r) {
            f64 sum = 0.0;
            for (u64 c = r; c < j; ++c) sum = sum + t[r * w + c] * g[c * w + j];
            t[r * w + j] = -2.0 * sum;
        }
        t[j * w + j] = 2.0;
    }
}

constexpr u64 reflector_block = 32;

void accumulate_qt(u64 n, const f64* vs, const unsigned char* applied, f64* qt, Isa isa) {
    std::fill(qt, qt + n * n, 0.0);
    for (u64 i = 0; i < n; ++i) qt[i * n + i] = 1.0;
    if (n < 3) return;
    constexpr u64 nb = reflector_block;
    const u64 steps = n - 2;
    std::vector<f64> v((n - 1) * nb), t(nb * nb), cv((n - 1) * nb), cvt((n - 1) * nb), g(nb * nb);
    for (u64 k0 = (steps - 1) / nb * nb;; k0 -= nb) {
        cancel::check();  // a block is three products over the trailing square
        const u64 k1 = std::min(steps, k0 + nb), w = k1 - k0, m = n - k0 - 1;
        block_reflector(n, vs, applied, k0, w, m, v.data(), t.data(), g.data(), isa);
        f64* c = qt + (k0 + 1) * n + (k0 + 1);
        kernels::gemm(m, w, m, {c, n, 1}, {v.data(), w, 1}, cv.data(), isa);
        kernels::gemm(m, w, w, {cv.data(), w, 1}, {t.data(), 1, w}, cvt.data(), isa);
        for (u64 i = 0; i < m * w; ++i) cvt[i] = -cvt[i];
        kernels::gemm_accumulate(m, m, w, {cvt.data(), w, 1}, {v.data(), 1, w}, c, n, isa);
        if (k0 == 0) break;
    }
}

// x = Q·x for the n×n x (row-major), Q = H_0·H_1 ⋯ H_{n−3}: the blocks' I − V·T·Vᵀ from the last
// to the first, each x_rows = x_rows + V·(−T·(Vᵀ·x_rows)) on the rows it acts on.
void apply_q(u64 n, const f64* vs, const unsigned char* applied, f64* x, Isa isa) {
    if (n < 3) return;
    constexpr u64 nb = reflector_block;
    const u64 steps = n - 2;
    std::vector<f64> v((n - 1) * nb), t(nb * nb), g(nb * nb), vx(nb * n), tvx(nb * n);
    for (u64 k0 = (steps - 1) / nb * nb;; k0 -= nb) {
        cancel::check();
        const u64 k1 = std::min(steps, k0 + nb), w = k1 - k0, m = n - k0 - 1;
        block_reflector(n, vs, applied, k0, w, m, v.data(), t.data(), g.data(), isa);
        f64* rows = x + (k0 + 1) * n;
        kernels::gemm(w, n, m, {v.data(), 1, w}, {rows, n, 1}, vx.data(), isa);
        kernels::gemm(w, n, w, {t.data(), w, 1}, {vx.data(), n, 1}, tvx.data(), isa);
        for (u64 i = 0; i < w * n; ++i) tvx[i] = -tvx[i];
        kernels::gemm_accumulate(m, n, w, {v.data(), w, 1}, {tvx.data(), n, 1}, rows, n, isa);
        if (k0 == 0) break;
    }
}

// ---------------------------------------------------------------------------------------------
// Implicit QL iteration on a symmetric tridiagonal matrix

// Eigenvalues of the tridiagonal (d, e) into d, unsorted; with zb (n×n in column blocks), each
// plane rotation of the iteration is applied to its rows as well, so rows that start as the
// rows of Qᵀ end as eigenvectors. Returns false when the iteration budget runs out.
//
// The sweeps finished while one batch is applied form the next batch; the iteration itself
// runs inside the application (see QlIteration), on its own only while nothing is waiting.
bool tridiagonal_ql(u64 n, f64* d, f64* e, f64* zb, Isa isa) {
    if (!zb) {
        QlIteration ql(n, d, e, nullptr);
        ql.run();
        return !ql.failed();
    }
    SweepBatch filling, batch;
    QlIteration ql(n, d, e, &filling);
    for (;;) {
        while (filling.sweeps.size() < wave && ql.running()) ql.step();
        if (filling.sweeps.empty()) break;
        // Whole groups while more are coming: an empty sweep in a group wastes its share.
        const u64 whole = filling.sweeps.size() / wave * wave;
        batch.take_front(filling, ql.running() ? whole : filling.sweeps.size());
        while (batch.sweeps.size() % wave != 0) batch.sweeps.push_back({0, 0, 0});
        for (u64 c0 = 0; c0 < n; c0 += rot_block) {
            cancel::check();
            const u64 w = block_width(n, c0);
            rotate_sweeps(w, zb + c0 * n, w, batch.sweeps.data(), batch.sweeps.size(), batch.cs.data(),
                          &ql, isa);
        }
    }
    return !ql.failed();
}

// Ascending order of the values, equal values in index order.
std::vector<u64> ascending(const std::vector<f64>& d) {
    std::vector<u64> perm(d.size());
    std::iota(perm.begin(), perm.end(), u64{0});
    std::stable_sort(perm.begin(), perm.end(), [&](u64 x, u64 y) { return d[x] < d[y]; });
    return perm;
}

// ---------------------------------------------------------------------------------------------
// Divide and conquer on a symmetric tridiagonal matrix (values and vectors)
//
// T splits at m = n/2 as diag(T1, T2) + rho·u·uᵀ with u = e_{m−1} + e_m and rho = e[m−1]
// (T1's last and T2's first diagonal entries less rho). With T1 = Q1·D1·Q1ᵀ and T2 = Q2·D2·Q2ᵀ
// from the halves, T = Q·(D + rho·z·zᵀ)·Qᵀ where z is Q1's last row over Q2's first. The rank-one
// problem deflates entries of z too small to matter and pairs of nearly equal values (a plane
// rotation moves one's z into the other); its other eigenvalues are the roots of the secular
// equation 1 + rho·Σ z_j²/(d_j − λ) = 0, one between each two poles and one above the last,
// each found relative to its nearer pole so that every difference d_j − λ keeps full precision.
// The vectors come from z recomputed from those roots (Gu and Eisenstat), which keeps them
// orthogonal, and one matrix product per half of the rows in each merge. Every operation is
// scalar, a product or a kernel with the same bits everywhere, each in a fixed order, so the
// results do not depend on the instruction set.

constexpr u64 dc_leaf = 32;  // blocks up to this size are solved by the QL iteration
constexpr f64 sqrt_half = 0.70710678118654752440;

// The ascending eigenvalues of a leaf block (d, e: s values, s − 1 couplings) into lam and its
// vectors as the columns of q (leading dimension ldq).
bool dc_leaf_solve(u64 s, const f64* d, const f64* e, f64* lam, f64* q, u64 ldq, Isa isa) {
    std::vector<f64> dd(d, d + s), ee(s, 0.0), id(s * s, 0.0), zb(s * s);
    std::copy(e, e + (s - 1), ee.begin());
    for (u64 i = 0; i < s; ++i) id[i * s + i] = 1.0;
    to_blocks(s, id.data(), zb.data());
    if (!tridiagonal_ql(s, dd.data(), ee.data(), zb.data(), isa)) return false;
    const std::vector<u64> perm = ascending(dd);
    for (u64 c0 = 0; c0 < s; c0 += rot_block) {
        const u64 bw = block_width(s, c0);
        for (u64 j = 0; j < s; ++j)
            for (u64 r = 0; r < bw; ++r) q[(c0 + r) * ldq + j] = zb[c0 * s + perm[j] * bw + r];
    }
    for (u64 j = 0; j < s; ++j) lam[j] = dd[perm[j]];
    return true;
}

// Root i (of k) of 1 + rho·Σ z_j²/(d_j − λ) for ascending, distinct d and rho > 0: writes
// diff[j] = d_j − λ for every j and returns λ, or NaN when the iteration does not settle.
//
// Each step fits the function by a constant and the two poles beside the root (one for the
// last root), matching value and slope, and moves to the fit's root, within a bracket kept by
// the signs seen (bisection when the fit leaves it): quadratic convergence from either side.
f64 secular_root(u64 k, u64 i, const f64* d, const f64* z, f64 rho, f64* diff) {
    constexpr f64 eps = std::numeric_limits<f64>::epsilon();
    const bool last = i + 1 == k;
    f64 lo, hi;  // bracket of tau = λ − d[origin]
    u64 origin = i;
    if (last) {
        f64 zz = 0.0;
        for (u64 j = 0; j < k; ++j) zz = zz + z[j] * z[j];
        lo = 0.0;
        hi = rho * zz;
    } else {
        const f64 gap = d[i + 1] - d[i], mid = gap * 0.5;
        f64 f = 1.0;
        for (u64 j = 0; j < k; ++j) f = f + rho * (z[j] * z[j]) / ((d[j] - d[i]) - mid);
        if (f >= 0.0) {
            lo = 0.0;
            hi = mid;
        } else {
            origin = i + 1;
            lo = mid - gap;
            hi = 0.0;
        }
    }
    f64* delta = diff;  // d_j − d[origin], then d_j − λ
    for (u64 j = 0; j < k; ++j) delta[j] = d[j] - d[origin];
    f64 tau = (lo + hi) * 0.5;
    for (int iter = 0; iter < 100; ++iter) {
        f64 psi = 0.0, dpsi = 0.0, phi = 0.0, dphi = 0.0;
        for (u64 j = 0; j <= i; ++j) {
            const f64 t = z[j] / (delta[j] - tau);
            psi = psi + z[j] * t;
            dpsi = dpsi + t * t;
        }
        for (u64 j = i + 1; j < k; ++j) {
            const f64 t = z[j] / (delta[j] - tau);
            phi = phi + z[j] * t;
            dphi = dphi + t * t;
        }
        psi = rho * psi;
        dpsi = rho * dpsi;
        phi = rho * phi;
        dphi = rho * dphi;
        const f64 f = 1.0 + psi + phi;
        if (f < 0.0) lo = tau;
        else hi = tau;
        const f64 bound = 8.0 * eps * (1.0 + phi - psi) * f64(k);
        if (std::fabs(f) <= bound || hi - lo <= 2.0 * eps * std::max(std::fabs(lo), std::fabs(hi))) {
            for (u64 j = 0; j < k; ++j) diff[j] = delta[j] - tau;
            return d[origin] + tau;
        }
        const f64 a = delta[i] - tau;
        f64 eta;
        if (last) {
            const f64 c = f - a * dpsi;
            eta = c > 0.0 ? a + (a * a * dpsi) / c : std::numeric_limits<f64>::quiet_NaN();
        } else {
            const f64 b = delta[i + 1] - tau;
            const f64 s = a * a * dpsi, big_s = b * b * dphi;
            const f64 c = f - a * dpsi - b * dphi;
            const f64 qb = c * (a + b) + s + big_s, qc = c * a * b + s * b + big_s * a;
            if (c == 0.0) {
                eta = qc / qb;
            } else {
                const f64 disc = std::sqrt(std::max(qb * qb - 4.0 * c * qc, 0.0));
                const f64 r1 = qb >= 0.0 ? (qb + disc) / (2.0 * c) : (qb - disc) / (2.0 * c);
                const f64 r2 = qb >= 0.0 ? (2.0 * qc) / (qb + disc) : (2.0 * qc) / (qb - disc);
                eta = (r1 > a && r1 < b) ? r1 : r2;
            }
        }
        const f64 next = tau + eta;
        tau = (next > lo && next < hi) ? next : (lo + hi) * 0.5;
    }
    return std::numeric_limits<f64>::quiet_NaN();
}

// The rank-one problem of a merge of halves of sizes m and n − m: the signed values d ascending,
// z, and which of them deflate. z = (Q1's last row, Q2's first row)/sqrt(2) and r = |rho|·2 make
// z a unit vector; a negative rho merges the negated values, so that the secular equation always
// has rho > 0.
struct RankOne {
    f64 sign, r;
    std::vector<f64> d, z;
    std::vector<u64> col;              // the column (of q) of each entry
    std::vector<u64> kept;             // the entries left to the secular equation, ascending
    std::vector<unsigned char> deflated;
    // Rows each column of q has entries in: 1 the first half's, 2 the second's, 3 both (after a
    // rotation joins a column of each), so that the products skip the zero blocks.
    std::vector<unsigned char> half;

    // The kept entries (positions in `kept`, ascending) whose columns have entries in half h.
    std::vector<u64> in_half(int h) const {
        std::vector<u64> use;
        for (u64 t = 0; t < kept.size(); ++t)
            if (half[col[kept[t]]] & h) use.push_back(t);
        return use;
    }
};

// Deflation, in ascending order of d, of the merge of lam's halves with Q1's last row `last1`
// and Q2's first row `first2`: entries of z too small to matter, and pairs of nearly equal
// values, where rotate(c, s, x, y) turns columns x and y of q into c·x + s·y and c·y − s·x so
// that z[x] vanishes.
template <class Rotate>
RankOne deflate(u64 n, u64 m, f64 rho, const f64* lam, const f64* last1, const f64* first2, Rotate&& rotate) {
    constexpr f64 eps = std::numeric_limits<f64>::epsilon();
    RankOne p;
    p.sign = rho >= 0.0 ? 1.0 : -1.0;
    p.r = std::fabs(rho) * 2.0;
    std::vector<f64> dv(n), zv(n);
    for (u64 j = 0; j < m; ++j) zv[j] = last1[j] * sqrt_half;
    for (u64 j = m; j < n; ++j) zv[j] = first2[j - m] * sqrt_half;
    for (u64 j = 0; j < n; ++j) dv[j] = p.sign * lam[j];
    const std::vector<u64> order = ascending(dv);
    p.d.resize(n);
    p.z.resize(n);
    p.col.resize(n);
    f64 dmax = 0.0, zmax = 0.0;
    for (u64 j = 0; j < n; ++j) {
        p.d[j] = dv[order[j]];
        p.z[j] = zv[order[j]];
        p.col[j] = order[j];
        dmax = std::max(dmax, std::fabs(p.d[j]));
        zmax = std::max(zmax, std::fabs(p.z[j]));
    }
    const f64 tol = 8.0 * eps * std::max(dmax, p.r * zmax);
    p.kept.reserve(n);
    p.deflated.assign(n, 0);
    p.half.resize(n);
    for (u64 j = 0; j < n; ++j) p.half[j] = j < m ? 1 : 2;
    std::vector<f64>& d = p.d;
    std::vector<f64>& z = p.z;
    u64 prev = n;  // the last kept entry, still open to a rotation with the next
    for (u64 j = 0; j < n; ++j) {
        if (p.r * std::fabs(z[j]) <= tol) {
            p.deflated[j] = 1;
            continue;
        }
        if (prev != n) {
            const f64 s0 = z[prev], c0 = z[j];
            const f64 t = pythag(c0, s0);
            const f64 c = c0 / t, s = -s0 / t;
            if (std::fabs((d[j] - d[prev]) * c * s) <= tol) {
                z[j] = t;
                z[prev] = 0.0;
                rotate(c, s, p.col[prev], p.col[j]);
                p.half[p.col[prev]] = p.half[p.col[j]] = p.half[p.col[prev]] | p.half[p.col[j]];
                const f64 dp = d[prev] * (c * c) + d[j] * (s * s);
                d[j] = d[prev] * (s * s) + d[j] * (c * c);
                d[prev] = dp;
                p.deflated[prev] = 1;
                p.kept.pop_back();
            }
        }
        p.kept.push_back(j);
        prev = j;
    }
    return p;
}

// The secular equation of the kept entries: its roots, and in diff (k×k) row i the differences
// d_j − λ_i; false when equal poles are left after deflation (not seen in practice) or a root
// does not settle, which sends the caller back to the QL iteration. Then zhat, z recomputed
// from the roots: zhat_j² = −(d_j − λ_j)·Π_{i≠j} (d_j − λ_i)/(d_j − d_i), signed as z_j.
bool secular_roots(const RankOne& p, std::vector<f64>& dk, std::vector<f64>& roots, std::vector<f64>& zhat,
                   f64* diff) {
    const u64 k = p.kept.size();
    dk.resize(k);
    std::vector<f64> zk(k);
    roots.resize(k);
    zhat.resize(k);
    for (u64 t = 0; t < k; ++t) {
        dk[t] = p.d[p.kept[t]];
        zk[t] = p.z[p.kept[t]];
    }
    for (u64 t = 1; t < k; ++t)
        if (!(dk[t - 1] < dk[t])) return false;
    for (u64 i = 0; i < k; ++i) {
        roots[i] = secular_root(k, i, dk.data(), zk.data(), p.r, diff + i * k);
        if (!(std::isfinite(roots[i]))) return false;
    }
    for (u64 j = 0; j < k; ++j) {
        f64 w = diff[j * k + j];
        for (u64 i = 0; i < k; ++i)
            if (i != j) w = w * (diff[i * k + j] / (dk[j] - dk[i]));
        zhat[j] = zk[j] >= 0.0 ? std::sqrt(-w) : -std::sqrt(-w);
    }
    return true;
}

// The unit eigenvector of root i in place of its differences x_j = d_j − λ_i: entry j
// zhat_j/(d_j − λ_i), normalised.
void secular_vector(u64 k, const f64* zhat, f64* x) {
    f64 norm = 0.0;
    for (u64 j = 0; j < k; ++j) {
        const f64 v = zhat[j] / x[j];
        x[j] = v;
        norm = norm + v * v;
    }
    norm = std::sqrt(norm);
    for (u64 j = 0; j < k; ++j) x[j] = x[j] / norm;
}

// The merged values, deflated ones and roots, ascending (`perm` lists, for each final column,
// the entry it comes from: j < n a deflated d_j, n + i root i).
std::vector<f64> merged_values(const RankOne& p, const std::vector<f64>& roots, std::vector<u64>& perm,
                               std::vector<u64>& from) {
    const u64 n = p.d.size();
    std::vector<f64> values;
    values.reserve(n);
    from.clear();
    for (u64 j = 0; j < n; ++j)
        if (p.deflated[j]) {
            values.push_back(p.sign * p.d[j]);
            from.push_back(j);
        }
    for (u64 i = 0; i < roots.size(); ++i) {
        values.push_back(p.sign * roots[i]);
        from.push_back(n + i);
    }
    perm = ascending(values);
    return values;
}

// Merges the two solved halves held in q (n×n, ldq; the off-diagonal blocks zero) and lam
// (each half ascending) across the coupling rho; on return lam is ascending and q's columns its
// vectors. `work` holds at least 4·n·n values.
bool dc_merge(u64 n, u64 m, f64 rho, f64* lam, f64* q, u64 ldq, f64* work, Isa isa) {
    const RankOne p = deflate(n, m, rho, lam, q + (m - 1) * ldq, q + m * ldq + m, [&](f64 c, f64 s, u64 cx, u64 cy) {
        f64* x = q + cx;
        f64* y = q + cy;
        for (u64 row = 0; row < n; ++row) {
            const f64 a = x[row * ldq], b = y[row * ldq];
            x[row * ldq] = c * a + s * b;
            y[row * ldq] = c * b - s * a;
        }
    });
    const u64 k = p.kept.size();
    f64* u = work;                     // k×k: row i holds d_j − λ_i, then U's column i
    f64* ug = work + n * n;            // U's rows for one half, as columns
    f64* gathered = work + 2 * n * n;  // the kept columns of q, each half's rows apart
    f64* merged = work + 3 * n * n;    // n×k
    std::vector<f64> dk, roots, zhat;
    if (!secular_roots(p, dk, roots, zhat, u)) return false;
    for (u64 i = 0; i < k; ++i) secular_vector(k, zhat.data(), u + i * k);
    // Each half of the rows: the kept columns with entries there, times their rows of U.
    for (int h = 1; h <= 2; ++h) {
        const u64 r0 = h == 1 ? 0 : m, rows = h == 1 ? m : n - m;
        const std::vector<u64> use = p.in_half(h);
        const u64 ku = use.size();
        f64* out_rows = merged + r0 * k;
        if (ku == 0) {
            std::fill(out_rows, out_rows + rows * k, 0.0);
            continue;
        }
        for (u64 row = 0; row < rows; ++row)
            for (u64 a = 0; a < ku; ++a) gathered[row * ku + a] = q[(r0 + row) * ldq + p.col[p.kept[use[a]]]];
        for (u64 i = 0; i < k; ++i)
            for (u64 a = 0; a < ku; ++a) ug[i * ku + a] = u[i * k + use[a]];
        kernels::gemm(rows, k, ku, {gathered, ku, 1}, {ug, 1, ku}, out_rows, isa);
    }
    std::vector<u64> perm, from;
    const std::vector<f64> values = merged_values(p, roots, perm, from);
    // The deflated columns are read from q while it is written: the result goes to scratch first.
    // Row by row, each row's reads within one row of q and one of merged.
    f64* out = gathered;  // n×n, gathered being done with
    std::vector<u64> src(n);  // final column j: q's column src[j], or merged's src[j] − n
    for (u64 j = 0; j < n; ++j) {
        const u64 f = from[perm[j]];
        src[j] = f < n ? p.col[f] : f;
    }
    for (u64 row = 0; row < n; ++row) {
        const f64* qr = q + row * ldq;
        const f64* mr = merged + row * k;
        f64* o = out + row * n;
        for (u64 j = 0; j < n; ++j) o[j] = src[j] < n ? qr[src[j]] : mr[src[j] - n];
    }
    for (u64 j = 0; j < n; ++j) lam[j] = values[perm[j]];
    for (u64 row = 0; row < n; ++row) std::copy(out + row * n, out + row * n + n, q + row * ldq);
    return true;
}

// The halves T1 and T2 of the tridiagonal (d, e) at m = n/2, less the coupling rho.
struct Halves {
    u64 m;
    f64 rho;
    std::vector<f64> d1, d2;

    Halves(u64 n, const f64* d, const f64* e) : m(n / 2), rho(e[m - 1]), d1(d, d + m), d2(d + m, d + n) {
        d1[m - 1] = d1[m - 1] - rho;
        d2[0] = d2[0] - rho;
    }
};

bool dc_solve(u64 n, const f64* d, const f64* e, f64* lam, f64* q, u64 ldq, f64* work, Isa isa) {
    if (n <= dc_leaf) return dc_leaf_solve(n, d, e, lam, q, ldq, isa);
    cancel::check();
    const Halves t(n, d, e);
    const u64 m = t.m;
    for (u64 row = 0; row < m; ++row) std::fill(q + row * ldq + m, q + row * ldq + n, 0.0);
    for (u64 row = m; row < n; ++row) std::fill(q + row * ldq, q + row * ldq + m, 0.0);
    if (!dc_solve(m, t.d1.data(), e, lam, q, ldq, work, isa)) return false;
    if (!dc_solve(n - m, t.d2.data(), e + m, lam + m, q + m * ldq + m, ldq, work, isa)) return false;
    return dc_merge(n, m, t.rho, lam, q, ldq, work, isa);
}

// The values of divide and conquer without its vectors. A merge reads only Q1's last and Q2's
// first row, so each solved block keeps just its first and last rows (q's rows 0 and n − 1),
// formed with the same operations in the same order as in dc_merge: the same values, bit for
// bit, from n + k·k scratch values (k <= n). Where dc_solve's vectors would come out
// non-finite, a vector of U or of a leaf does here, and both give up.
bool dc_values(u64 n, const f64* d, const f64* e, f64* lam, f64* first, f64* last, f64* work, Isa isa) {
    if (n <= dc_leaf) {
        std::vector<f64> q(n * n);
        if (!dc_leaf_solve(n, d, e, lam, q.data(), n, isa)) return false;
        for (f64 x : q)
            if (!std::isfinite(x)) return false;
        std::copy_n(q.data(), n, first);
        std::copy_n(q.data() + (n - 1) * n, n, last);
        return true;
    }
    cancel::check();
    const Halves t(n, d, e);
    const u64 m = t.m;
    // q's rows 0 and n − 1 (the off-diagonal blocks zero), and the rows the merge reads.
    std::vector<f64> top(n, 0.0), bottom(n, 0.0), last1(m), first2(n - m);
    if (!dc_values(m, t.d1.data(), e, lam, top.data(), last1.data(), work, isa)) return false;
    if (!dc_values(n - m, t.d2.data(), e + m, lam + m, first2.data(), bottom.data() + m, work, isa)) return false;
    const RankOne p = deflate(n, m, t.rho, lam, last1.data(), first2.data(), [&](f64 c, f64 s, u64 cx, u64 cy) {
        for (f64* row : {top.data(), bottom.data()}) {
            const f64 a = row[cx], b = row[cy];
            row[cx] = c * a + s * b;
            row[cy] = c * b - s * a;
        }
    });
    const u64 k = p.kept.size();
    std::vector<f64> dk, roots, zhat;
    if (!secular_roots(p, dk, roots, zhat, work)) return false;
    // Row i of work becomes root i's vector (U's column i).
    for (u64 i = 0; i < k; ++i) {
        f64* ui = work + i * k;
        secular_vector(k, zhat.data(), ui);
        for (u64 j = 0; j < k; ++j)
            if (!std::isfinite(ui[j])) return false;
    }
    // Rows 0 and n − 1 of the merged vectors, entry i: a sum over the kept columns with entries
    // in the row's half, from −0.0 in ascending order, as the product in dc_merge forms it
    // (+0.0 for none).
    std::vector<f64> top_k(k), bottom_k(k), x(k);
    for (int h = 1; h <= 2; ++h) {
        const std::vector<f64>& row = h == 1 ? top : bottom;
        std::vector<f64>& out = h == 1 ? top_k : bottom_k;
        const std::vector<u64> use = p.in_half(h);
        for (u64 a = 0; a < use.size(); ++a) x[a] = row[p.col[p.kept[use[a]]]];
        for (u64 i = 0; i < k; ++i) {
            const f64* ui = work + i * k;
            f64 s = use.empty() ? 0.0 : -0.0;
            for (u64 a = 0; a < use.size(); ++a) s = s + x[a] * ui[use[a]];
            out[i] = s;
        }
    }
    std::vector<u64> perm, from;
    const std::vector<f64> values = merged_values(p, roots, perm, from);
    for (u64 j = 0; j < n; ++j) {
        const u64 f = from[perm[j]];
        first[j] = f < n ? top[p.col[f]] : top_k[f - n];
        last[j] = f < n ? bottom[p.col[f]] : bottom_k[f - n];
        lam[j] = values[perm[j]];
    }
    return true;
}

struct SymmetricEigen {
    Storage<f64> values;   // ascending
    Storage<f64> vectors;  // n×n row-major, column j for values[j]; empty without vectors
};

// From this size eigh and eigvalsh find the values, and eigh the vectors, by divide and
// conquer; below it the QL iteration is faster (Intel Xeon, AVX-512: even at 384, 13 % faster
// at 700, 18 % at 1000, and the values alone 8 ms less at 500).
constexpr u64 dc_min = 384;

// lam (the reduced matrix's ascending values) scaled back by `up`: a power of two keeps the order.
Storage<f64> scaled_values(const std::vector<f64>& lam, Pow2 up) {
    Storage<f64> out(lam.size());
    for (u64 j = 0; j < lam.size(); ++j) out[j] = up.apply(lam[j]);
    return out;
}

// The values of the reduced matrix (d, e) by divide and conquer, scaled back by `up`, with n·n
// values of scratch in work; nothing where an iteration does not settle or a vector would come
// out non-finite, for the caller to fall back on the QL iteration.
std::optional<Storage<f64>> divide_and_conquer_values(u64 n, const std::vector<f64>& d, const std::vector<f64>& e,
                                                      Pow2 up, f64* work, Isa isa) {
    std::vector<f64> lam(n), first(n), last(n);
    if (!dc_values(n, d.data(), e.data(), lam.data(), first.data(), last.data(), work, isa)) return std::nullopt;
    return scaled_values(lam, up);
}

// The values (scaled back by `up`) and vectors of the reduced matrix (d, e; reflections vs and
// applied), or nothing when an iteration does not settle or a vector comes out non-finite, for
// the caller to fall back on the QL iteration. Its scratch (5·n·n values) is more than the QL
// iteration's: where the system refuses it, `refused` is set and the QL iteration still runs.
std::optional<SymmetricEigen> divide_and_conquer(u64 n, const std::vector<f64>& d, const std::vector<f64>& e,
                                                 const Storage<f64>& vs,
                                                 const std::vector<unsigned char>& applied, Pow2 up, Isa isa,
                                                 bool& refused) {
    Storage<f64> v, work;
    try {
        v = uninitialized<f64>(n * n);
        work = uninitialized<f64>(4 * n * n);
    } catch (const std::bad_alloc&) {
        refused = true;
        return std::nullopt;
    }
    std::vector<f64> lam(n);
    if (!dc_solve(n, d.data(), e.data(), lam.data(), v.data(), n, work.data(), isa)) return std::nullopt;
    for (f64 x : v)
        if (!std::isfinite(x)) return std::nullopt;
    // The vectors of a: Q·V.
    apply_q(n, vs.data(), applied.data(), v.data(), isa);
    Storage<f64>& out = v;
    // Each vector's sign makes its first entry of largest magnitude positive.
    std::vector<f64> big(n, -1.0);
    std::vector<unsigned char> flip(n, 0);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            const f64 x = out[i * n + j];
            if (std::fabs(x) > big[j]) {
                big[j] = std::fabs(x);
                flip[j] = x < 0.0;
            }
        }
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j)
            if (flip[j]) out[i * n + j] = -out[i * n + j];
    SymmetricEigen r;
    r.values = scaled_values(lam, up);
    r.vectors = std::move(out);
    return r;
}

Result<SymmetricEigen> symmetric_eigen(const char* fn, const Array64& a, bool want_vectors, Isa isa,
                                       u64 dc_from = dc_min) {
    if (std::string why = square_problem(fn, a, false); !why.empty()) return Error{why};
    const u64 n = a.shape[0];
    if (!lower_finite(n, a.data.data())) return Error{need_finite(fn, "a")};
    SymmetricEigen out;
    if (n == 0) return out;

    // The lower triangle, scaled.
    // Only the lower triangle is written and read.
    Storage<f64> w = uninitialized<f64>(n * n);
    f64 amax = 0.0;
    for (u64 i = 0; i < n; ++i) amax = std::max(amax, max_abs(a.data.data() + i * n, i + 1));
    const int ea = exponent_of(amax);
    const Pow2 down = pow2(-ea), up = pow2(ea);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j) w[i * n + j] = down.apply(a.data[i * n + j]);

    std::vector<f64> d(n), e(n);
    Storage<f64> vs = uninitialized<f64>(n * n);  // each step's vector written before it is read
    std::vector<unsigned char> applied(n);
    tridiagonalise(n, w.data(), d.data(), e.data(), vs.data(), applied.data(), isa);
    // Two n×n buffers serve the whole computation: fresh ones would cost a page fault per 4 KiB
    // each call, as blocks this large go back to the system when freed. w is done with after
    // the reduction: Qᵀ goes there, then into column blocks in vs (done with once Qᵀ is
    // formed), and the sorted vectors end in w.
    Storage<f64>& zb = vs;
    // Values found by divide and conquer where its vectors' scratch was refused.
    std::optional<Storage<f64>> dc_vals;
    if (n >= dc_from) {
        if (!want_vectors) {
            // w is done with: the values' scratch.
            if (std::optional<Storage<f64>> vals = divide_and_conquer_values(n, d, e, up, w.data(), isa)) {
                out.values = std::move(*vals);
                return out;
            }
        } else {
            // w is done with: its n×n go back before divide and conquer takes its own.
            Storage<f64>().swap(w);
            bool refused = false;
            if (std::optional<SymmetricEigen> r = divide_and_conquer(n, d, e, vs, applied, up, isa, refused))
                return std::move(*r);
            w = Storage<f64>(n * n);
            // Then the values are still those eigvalsh finds; the QL iteration gives the vectors.
            if (refused) dc_vals = divide_and_conquer_values(n, d, e, up, w.data(), isa);
        }
    }
    if (want_vectors) {
        accumulate_qt(n, vs.data(), applied.data(), w.data(), isa);
        to_blocks(n, w.data(), zb.data());
    }
    if (!tridiagonal_ql(n, d.data(), e.data(), want_vectors ? zb.data() : nullptr, isa))
        return Error{std::string(fn) + ": the eigenvalue iteration did not converge"};

    for (f64& x : d) x = up.apply(x);
    const std::vector<u64> perm = ascending(d);
    out.values.resize(n);
    for (u64 j = 0; j < n; ++j) out.values[j] = d[perm[j]];
    if (dc_vals) out.values = std::move(*dc_vals);
    if (!want_vectors) return out;
    // Each vector's sign makes its first entry of largest magnitude positive. Both passes read
    // the column blocks in order, so the output is written row by row.
    std::vector<f64> big(n, -1.0);
    std::vector<unsigned char> flip(n, 0);
    for (u64 c0 = 0; c0 < n; c0 += rot_block) {
        const u64 bw = block_width(n, c0);
        for (u64 p = 0; p < n; ++p) {
            const f64* z = zb.data() + c0 * n + p * bw;
            for (u64 r = 0; r < bw; ++r)
                if (std::fabs(z[r]) > big[p]) {
                    big[p] = std::fabs(z[r]);
                    flip[p] = z[r] < 0.0;
                }
        }
    }
    for (u64 c0 = 0; c0 < n; c0 += rot_block) {
        const u64 bw = block_width(n, c0);
        const f64* block = zb.data() + c0 * n;
        for (u64 r = 0; r < bw; ++r) {
            f64* row = w.data() + (c0 + r) * n;
            for (u64 j = 0; j < n; ++j) {
                const f64 z = block[perm[j] * bw + r];
                row[j] = flip[perm[j]] ? -z : z;
            }
        }
    }
    out.vectors = std::move(w);
    return out;
}

// ---------------------------------------------------------------------------------------------
// LU with partial pivoting

// Below this many columns (or rows of a triangle) the recursions below work element by element.
constexpr u64 lu_leaf = 16;

// Solves L·X = B in place for the h×h unit lower-triangular L at l (leading dimension ld) whose
// multipliers are stored negated, and the h×w block B at b: halves of the triangle in turn, the
// second receiving the first's contribution as one accumulating product (x + (−l)·y is
// exactly x − l·y). Each element of B thus subtracts its terms in ascending t.
void lower_solve(u64 h, u64 w, const f64* l, u64 ld, f64* b, u64 ldb, Isa isa) {
    if (h <= lu_leaf) {
        for (u64 i = 1; i < h; ++i)
            for (u64 t = 0; t < i; ++t) axpy(w, l[i * ld + t], b + t * ldb, b + i * ldb, isa);
        return;
    }
    const u64 h1 = h / 2;
    lower_solve(h1, w, l, ld, b, ldb, isa);
    kernels::gemm_accumulate(h - h1, w, h1, {l + h1 * ld, ld, 1}, {b, ldb, 1}, b + h1 * ldb, ldb, isa);
    lower_solve(h - h1, w, l + h1 * ld + h1, ld, b + h1 * ldb, ldb, isa);
}

// Solves U·X = B in place for the h×h upper-triangular U at u and the h×w block B at b, the
// lower half of the rows first; neg holds at least (h − h/2)·w scratch values for the negated
// solved half, so that its contribution is an accumulating product too.
void upper_solve(u64 h, u64 w, const f64* u, u64 ld, f64* b, u64 ldb, f64* neg, Isa isa) {
    if (h <= lu_leaf) {
        for (u64 i = h; i-- > 0;) {
            f64* bi = b + i * ldb;
            for (u64 t = i + 1; t < h; ++t) axpy(w, -u[i * ld + t], b + t * ldb, bi, isa);
            const f64 d = u[i * ld + i];
            for (u64 j = 0; j < w; ++j) bi[j] = bi[j] / d;
        }
        return;
    }
    const u64 h1 = h / 2, h2 = h - h1;
    upper_solve(h2, w, u + h1 * ld + h1, ld, b + h1 * ldb, ldb, neg, isa);
    for (u64 i = 0; i < h2; ++i)
        for (u64 j = 0; j < w; ++j) neg[i * w + j] = -b[(h1 + i) * ldb + j];
    kernels::gemm_accumulate(h1, w, h2, {u + h1, ld, 1}, {neg, w, 1}, b, ldb, isa);
    upper_solve(h1, w, u, ld, b, ldb, neg, isa);
}

// Factors columns c0 .. c1−1 (rows c0 .. n−1) of the n×n row-major a in place into P·a = L·U,
// recursively by halves of the columns, so that nearly all the work is in matrix products.
// L's unit diagonal is implied and its multipliers are stored negated, so that every update
// adds a product (x + (−l)·u is exactly x − l·u). At step k rows k and piv[k] (>= k, the
// first row of largest magnitude in the column) are swapped whole. Returns false at the
// first exactly zero pivot column, leaving a partial.
bool lu_columns(u64 n, f64* a, u64 c0, u64 c1, u64* piv, u64* swaps, Isa isa) {
    if (c1 - c0 <= lu_leaf) {
        for (u64 k = c0; k < c1; ++k) {
            u64 p = k;
            f64 big = std::fabs(a[k * n + k]);
            for (u64 i = k + 1; i < n; ++i) {
                const f64 x = std::fabs(a[i * n + k]);
                if (x > big) {
                    big = x;
                    p = i;
                }
            }
            piv[k] = p;
            if (big == 0.0) return false;
            if (p != k) {
                std::swap_ranges(a + k * n, a + k * n + n, a + p * n);
                ++*swaps;
            }
            const f64 pivot = a[k * n + k];
            const f64* urow = a + k * n + k + 1;
            for (u64 i = k + 1; i < n; ++i) {
                f64* row = a + i * n + k;
                const f64 nl = -(row[0] / pivot);
                row[0] = nl;
                for (u64 j = 0; j + k + 1 < c1; ++j) row[1 + j] = row[1 + j] + nl * urow[j];
            }
        }
        return true;
    }
    const u64 mid = c0 + (c1 - c0) / 2;
    if (!lu_columns(n, a, c0, mid, piv, swaps, isa)) return false;
    lower_solve(mid - c0, c1 - mid, a + c0 * n + c0, n, a + c0 * n + mid, n, isa);
    kernels::gemm_accumulate(n - mid, c1 - mid, mid - c0, {a + mid * n + c0, n, 1},
                             {a + c0 * n + mid, n, 1}, a + mid * n + mid, n, isa);
    return lu_columns(n, a, mid, c1, piv, swaps, isa);
}

bool lu_factor(u64 n, f64* a, u64* piv, u64* swaps, Isa isa) {
    *swaps = 0;
    return lu_columns(n, a, 0, n, piv, swaps, isa);
}

// Overwrites the h×h block x (leading dimension ld, which must start as the identity) with
// the inverse of the unit lower-triangular L at l whose multipliers are stored negated: both
// diagonal halves recursively, then the corner X21 = L22⁻¹·(−L21·X11). The inverse is lower
// triangular too, so no work is spent on its zero half.
void lower_inverse(u64 h, const f64* l, u64 ld, f64* x, Isa isa) {
    if (h <= lu_leaf) {
        lower_solve(h, h, l, ld, x, ld, isa);
        return;
    }
    const u64 h1 = h / 2, h2 = h - h1;
    lower_inverse(h1, l, ld, x, isa);
    lower_inverse(h2, l + h1 * ld + h1, ld, x + h1 * ld + h1, isa);
    // X21 starts as the identity's zeros, so the accumulating product forms −L21·X11 there.
    kernels::gemm_accumulate(h2, h1, h1, {l + h1 * ld, ld, 1}, {x, ld, 1}, x + h1 * ld, ld, isa);
    lower_solve(h2, h1, l + h1 * ld + h1, ld, x + h1 * ld, ld, isa);
}

// Solves L·U·x = P·b in place for the n×k row-major x.
void lu_solve(u64 n, const f64* lu, const u64* piv, u64 k, f64* x, Isa isa) {
    for (u64 i = 0; i < n; ++i)
        if (piv[i] != i) std::swap_ranges(x + i * k, x + i * k + k, x + piv[i] * k);
    lower_solve(n, k, lu, n, x, k, isa);
    std::vector<f64> neg((n - n / 2) * k);
    upper_solve(n, k, lu, n, x, k, neg.data(), isa);
}

struct LuFactors {
    Storage<f64> lu;
    std::vector<u64> piv;
    u64 swaps = 0;
    bool regular = false;  // false: an exactly zero pivot stopped the factorisation
};

LuFactors lu_of(const Array64& a, Isa isa) {
    LuFactors f{a.data, std::vector<u64>(a.shape[0]), 0, false};
    f.regular = lu_factor(a.shape[0], f.lu.data(), f.piv.data(), &f.swaps, isa);
    return f;
}

// ---------------------------------------------------------------------------------------------
// Least squares

// Solves a·x ≈ b for the scaled, finite, m×n (m >= n) a, given side by side with the k
// columns of b in ab = [a | b] (m rows of n+k, leading dimension ld): Householder QR of a,
// applied to b as well, then back substitution with R. Returns false for a rank-deficient a.
//
// The QR is blocked so that most of its work is matrix products. Its order of operations is
// fixed by the sizes alone, never by the instruction set:
//   1. a is taken in panels of qr_panel columns (the last may be narrower). A panel's rows
//      j0 .. m-1 are copied to a buffer P (row-major, one row of the panel per line).
//   2. P is factored recursively: a run of at most qr_leaf columns one column j at a time
//      (the reflector of column j from its diagonal down, applied with kernels::reflect to
//      the run's later columns); a wider run as its left half (the first ⌊width/2⌋ columns),
//      then the left half's block reflector (3.) applied to the right half, then the right
//      half.
//   3. A block of reflectors H_0·…·H_{w-1} = I − V·T·Vᵀ (V holds the unit vectors, zero above
//      their first row; T is upper triangular with τ = 2, or 0 for a skipped step) is applied
//      to columns C as C − V·(Tᵀ·(Vᵀ·C)): G = Vᵀ·V by gemm; column c of T from T[c][c] = τ_c
//      and T[r][c] = −τ_c·(−0.0 + T[r][r]·G[r][c] + … + T[r][c−1]·G[c−1][c]); W = Vᵀ·C by
//      gemm, W' = (−T)ᵀ·W by gemm, then C = C + V·W' by gemm_accumulate.
//   4. The panel's first rows (its part of R) return to ab, and the whole panel's block
//      reflector (3.) is applied to every column of ab right of it (b's included), rows
//      j0 .. m-1.
// The gemm and reflect kernels give the same bits on every instruction set; the rest is
// plain scalar code.
constexpr u64 qr_panel = 16;
constexpr u64 qr_leaf = 8;

// Step 3 for the w reflectors in the columns of vb (rows × w, leading dimension ldv) with
// factors tau, applied to the cols columns at c (leading dimension ldc).
void apply_block_reflector(u64 rows, u64 w, const f64* vb, u64 ldv, const f64* tau, u64 cols, f64* c,
                           u64 ldc, Isa isa) {
    using kernels::MatRef;
    const MatRef vt{vb, 1, ldv};  // Vᵀ
    std::vector<f64> g(w * w), tneg(w * w, 0.0), vc(w * cols), tvc(w * cols);
    kernels::gemm(w, w, rows, vt, MatRef{vb, ldv, 1}, g.data(), isa);
    for (u64 col = 0; col < w; ++col) {
        // tneg = −T; the rows of T above `col` are final once column `col` is reached.
        tneg[col * w + col] = -tau[col];
        for (u64 r = 0; r < col; ++r) {
            f64 sum = -0.0;
            for (u64 t = r; t < col; ++t) sum = sum + (-tneg[r * w + t]) * g[t * w + col];
            tneg[r * w + col] = tau[col] * sum;
        }
    }
    kernels::gemm(w, cols, rows, vt, MatRef{c, ldc, 1}, vc.data(), isa);
    kernels::gemm(w, cols, w, MatRef{tneg.data(), 1, w}, MatRef{vc.data(), cols, 1}, tvc.data(), isa);
    kernels::gemm_accumulate(rows, cols, w, MatRef{vb, ldv, 1}, MatRef{tvc.data(), cols, 1}, c, ldc, isa);
}

// The panel being factored (step 2): P and V share the layout rows × jb; reflector j of the
// panel starts on row j.
struct Panel {
    u64 rows, jb;
    f64* p;
    f64* v;
    f64* tau;
    f64* rdiag;
    f64* scratch;  // one column
};

void factor_panel(const Panel& q, u64 c0, u64 cw, Isa isa) {
    if (cw > qr_leaf) {
        const u64 h = cw / 2, off = c0 * q.jb + c0;
        factor_panel(q, c0, h, isa);
        apply_block_reflector(q.rows - c0, h, q.v + off, q.jb, q.tau + c0, cw - h, q.p + off + h, q.jb, isa);
        factor_panel(q, c0 + h, cw - h, isa);
        return;
    }
    for (u64 j = c0; j < c0 + cw; ++j) {
        const u64 len = q.rows - j;
        f64* col = q.p + j * q.jb + j;
        const bool applied = reflector(len, col, q.jb, q.scratch, &q.rdiag[j]);
        q.tau[j] = applied ? 2.0 : 0.0;
        if (!applied) continue;
        kernels::reflect(len, c0 + cw - j - 1, q.scratch, col + 1, q.jb, kernels::Reflect::left, isa);
        for (u64 i = 0; i < len; ++i) q.v[(j + i) * q.jb + j] = q.scratch[i];
    }
}

bool qr_least_squares(u64 m, u64 n, u64 k, f64* ab, u64 ld, f64* x, Isa isa) {
    std::vector<f64> rdiag(n), tau(qr_panel);
    // The panel P, its vectors V and one column of scratch in one buffer: a tall matrix's panels
    // are megabytes, and from the array allocator (which reuses freed blocks) they do not fault
    // in fresh pages on every call, as the heap's did (it gave them back each time).
    const u64 span = m * std::min(qr_panel, n);
    Storage<f64> buffer = uninitialized<f64>(2 * span + m);
    f64* const p = buffer.data();
    f64* const v = p + span;
    f64* const scratch = v + span;
    for (u64 j0 = 0; j0 < n; j0 += qr_panel) {
        cancel::check();
        const u64 jb = std::min(qr_panel, n - j0), rows = m - j0, rest = n + k - j0 - jb;
        std::fill(v, v + rows * jb, 0.0);
        for (u64 i = 0; i < rows; ++i) std::copy_n(ab + (j0 + i) * ld + j0, jb, p + i * jb);
        factor_panel(Panel{rows, jb, p, v, tau.data(), rdiag.data() + j0, scratch}, 0, jb, isa);
        for (u64 i = 0; i < jb; ++i) std::copy_n(p + i * jb, jb, ab + (j0 + i) * ld + j0);
        if (rest) apply_block_reflector(rows, jb, v, jb, tau.data(), rest, ab + j0 * ld + j0 + jb, ld, isa);
    }
    // Without column pivoting, a diagonal of R small next to the largest one is the sign of
    // (numerical) rank deficiency.
    const f64 rmax = max_abs(rdiag.data(), n);
    const f64 tol = rmax * (static_cast<f64>(std::max(m, n)) * std::numeric_limits<f64>::epsilon());
    for (u64 j = 0; j < n; ++j)
        if (!(std::fabs(rdiag[j]) > tol)) return false;
    for (u64 i = n; i-- > 0;) {
        f64* xi = x + i * k;
        std::copy_n(ab + i * ld + n, k, xi);
        for (u64 t = i + 1; t < n; ++t) axpy(k, -ab[i * ld + t], x + t * k, xi, isa);
        for (u64 j = 0; j < k; ++j) xi[j] = xi[j] / rdiag[i];
    }
    return true;
}

}  // namespace

Result<EighResult> eigh(const Array64& a, Isa isa) { return detail::eigh_from(a, dc_min, isa); }

Result<EighResult> detail::eigh_from(const Array64& a, u64 dc_from, Isa isa) {
    Result<SymmetricEigen> r = symmetric_eigen("eigh", a, true, isa, std::max<u64>(dc_from, dc_leaf + 1));
    if (!r) return Error{r.error()};
    const u64 n = r.value().values.size();
    return EighResult{Array64(Shape::d1(n), std::move(r.value().values)),
                      Array64(Shape{n, n}, std::move(r.value().vectors))};
}

Result<Array64> eigvalsh(const Array64& a, Isa isa) { return detail::eigvalsh_from(a, dc_min, isa); }

Result<Array64> detail::eigvalsh_from(const Array64& a, u64 dc_from, Isa isa) {
    Result<SymmetricEigen> r = symmetric_eigen("eigvalsh", a, false, isa, std::max<u64>(dc_from, dc_leaf + 1));
    if (!r) return Error{r.error()};
    const u64 n = r.value().values.size();
    return Array64(Shape::d1(n), std::move(r.value().values));
}

Result<Array64> solve(const Array64& a, const Array64& b, Isa isa) {
    if (std::string why = square_problem("solve", a); !why.empty()) return Error{why};
    if (std::string why = rhs_problem("solve", a.shape[0], b); !why.empty()) return Error{why};
    const LuFactors f = lu_of(a, isa);
    if (!f.regular) return Error{singular};
    Array64 x = b;
    lu_solve(a.shape[0], f.lu.data(), f.piv.data(), rhs_columns(x), x.data.data(), isa);
    return x;
}

Result<Array64> inv(const Array64& a, Isa isa) {
    if (std::string why = square_problem("inv", a); !why.empty()) return Error{why};
    const LuFactors f = lu_of(a, isa);
    if (!f.regular) return Error{singular};
    // a⁻¹ = U⁻¹·L⁻¹·P: the triangular L⁻¹ first, then U⁻¹ applied to it, then the row swaps
    // of P undone on the columns, last swap first.
    const u64 n = a.shape[0];
    Array64 x = Array64::zeros(Shape{n, n});
    f64* xd = x.data.data();
    for (u64 i = 0; i < n; ++i) xd[i * n + i] = 1.0;
    lower_inverse(n, f.lu.data(), n, xd, isa);
    std::vector<f64> neg((n - n / 2) * n);
    upper_solve(n, n, f.lu.data(), n, xd, n, neg.data(), isa);
    for (u64 k = n; k-- > 0;)
        if (f.piv[k] != k)
            for (u64 i = 0; i < n; ++i) std::swap(xd[i * n + k], xd[i * n + f.piv[k]]);
    return x;
}

Result<f64> det(const Array64& a, Isa isa) {
    if (std::string why = square_problem("det", a); !why.empty()) return Error{why};
    const LuFactors f = lu_of(a, isa);
    if (!f.regular) return 0.0;
    const u64 n = a.shape[0];
    f64 prod = 1.0;
    for (u64 i = 0; i < n; ++i) prod = prod * f.lu[i * n + i];
    return f.swaps % 2 ? -prod : prod;
}

Result<Array64> lstsq(const Array64& a, const Array64& b, Isa isa) {
    if (a.ndim() != 2) return Error{need_matrix("lstsq", "a", a.shape)};
    const u64 m = a.shape[0], n = a.shape[1];
    if (m < n)
        return Error{"lstsq: a must have at least as many rows as columns, got shape " +
                     a.shape.to_string()};
    if (!all_finite(a.data)) return Error{need_finite("lstsq", "a")};
    if (std::string why = rhs_problem("lstsq", m, b); !why.empty()) return Error{why};
    const u64 k = rhs_columns(b);
    const int ea = exponent_of(max_abs(a.data.data(), a.data.size()));
    const int eb = exponent_of(max_abs(b.data.data(), b.data.size()));
    const Pow2 down_a = pow2(-ea), down_b = pow2(-eb), up_x = pow2(eb - ea);
    // Rows of whole cache lines from a line boundary keep the products' vector loads aligned;
    // the padding is never read. The array allocator keeps large blocks on huge pages (sparing
    // the TLB misses of the column walks) and reuses freed ones, so that repeated calls do not
    // fault in and zero fresh pages each time.
    const u64 ld = (n + k + 7) / 8 * 8;
    Storage<f64> ab_store = uninitialized<f64>(m * ld + 8);
    f64* const ab = reinterpret_cast<f64*>((reinterpret_cast<std::uintptr_t>(ab_store.data()) + 63) & ~std::uintptr_t{63});
    Storage<f64> x(n * k);
    for (u64 i = 0; i < m; ++i) {
        if (i % 4096 == 0) cancel::check();  // first touches of a large buffer take seconds
        f64* row = ab + i * ld;
        for (u64 j = 0; j < n; ++j) row[j] = down_a.apply(a.data[i * n + j]);
        for (u64 j = 0; j < k; ++j) row[n + j] = down_b.apply(b.data[i * k + j]);
    }
    if (!qr_least_squares(m, n, k, ab, ld, x.data(), isa))
        return Error{"lstsq: a is rank-deficient"};
    // x solves the scaled problem: a·x = b scales as x·(b's factor)/(a's factor).
    for (f64& v : x) v = up_x.apply(v);
    Shape shape = b.ndim() == 2 ? Shape{n, k} : Shape::d1(n);
    return Array64(std::move(shape), std::move(x));
}

}  // namespace veltrix
