#include "array/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "array/cancel.hpp"
#include "array/linalg_kernels.hpp"
#include "ops/buffer.hpp"

namespace veltrix {

namespace {

// |k| as an unsigned magnitude, so that the most negative offset has one too.
u64 magnitude(i64 k) { return k < 0 ? u64{0} - static_cast<u64>(k) : static_cast<u64>(k); }

Array64 square_zeros(u64 n) {
    const Result<u64> size = checked_size(Shape{n, n});
    if (!size) VELTRIX_FAIL("capacity overflow");
    return Array64::zeros(Shape{n, n});
}

// Out-of-place transpose of a rows×cols row-major block, in tiles that keep both the
// rows read and the rows written in cache.
void transpose_into(u64 rows, u64 cols, const f64* src, f64* dst) {
    constexpr u64 TB = 32;
    for (u64 i0 = 0; i0 < rows; i0 += TB) {
        const u64 i1 = std::min(rows, i0 + TB);
        for (u64 j0 = 0; j0 < cols; j0 += TB) {
            const u64 j1 = std::min(cols, j0 + TB);
            for (u64 j = j0; j < j1; ++j)
                for (u64 i = i0; i < i1; ++i) dst[j * rows + i] = src[i * cols + j];
        }
    }
}

void set_identity(u64 n, f64* m) {
    std::fill(m, m + n * n, 0.0);
    for (u64 i = 0; i < n; ++i) m[i * n + i] = 1.0;
}

// Householder vectors of one factorisation (one row of length m per column step) and
// the contiguous copies of the column panel being worked on, reused across iterations
// of the eigen-iteration.
struct HouseholderScratch {
    std::vector<f64> vs, block;
    std::vector<unsigned char> applied;
};

// Copies columns [c0, c0 + w) of a rows×ld row-major matrix into a dense rows×wp block
// (wp >= w, the extra columns zero) and back. Working on the dense copy keeps the rows of a
// block from all falling into the same few cache sets, which happens when ld is a large
// power of two.
void copy_columns_out(u64 rows, u64 ld, u64 c0, u64 w, u64 wp, const f64* src, f64* dst) {
    for (u64 i = 0; i < rows; ++i) {
        std::copy(src + i * ld + c0, src + i * ld + c0 + w, dst + i * wp);
        std::fill(dst + i * wp + w, dst + i * wp + wp, 0.0);
    }
}
void copy_columns_in(u64 rows, u64 ld, u64 c0, u64 w, u64 wp, const f64* src, f64* dst) {
    for (u64 i = 0; i < rows; ++i) std::copy(src + i * wp, src + i * wp + w, dst + i * ld + c0);
}

// Blocks are padded to whole multiples of the widest vector, so that no reflection runs
// into a column-by-column remainder.
constexpr u64 lanes = 8;
u64 round_up_lanes(u64 w) { return (w + lanes - 1) / lanes * lanes; }

// Householder QR: r is m×n row-major and becomes R in place (without clearing the part
// below the diagonal); q (m×m row-major) receives Q.
//
// Each column of R and each row of Q receives the reflections of steps 0, 1, ... in turn
// and is touched by nothing else, so the work is regrouped for the cache without changing
// any element's operations: R is processed in panels of columns (first every earlier
// reflection, then the steps that fall inside the panel), and the reflections are applied
// to Q only at the end, one block of its rows at a time, starting from those rows of the
// identity. A block of Q's rows is worked on transposed, so that the update of one row
// of Q runs along contiguous memory.
//
// Padding columns and, inside a panel, the columns left of the current step (whose entries
// from its row down lie below R's diagonal, are never read again and are cleared at the
// end) may receive reflections too; that keeps every sweep on whole vectors and changes
// no element of R or Q.
void householder(u64 m, u64 n, f64* r, f64* q, HouseholderScratch& s) {
    constexpr u64 panel = 32, qblock = 32;
    const u64 steps = std::min(m, n);
    s.vs.resize(steps * m);
    s.applied.assign(steps, 0);
    // The dense blocks start on a cache line, so that no vector load of them straddles two.
    s.block.resize(m * std::max(panel, qblock) + 8);
    f64* pb = reinterpret_cast<f64*>((reinterpret_cast<std::uintptr_t>(s.block.data()) + 63) &
                                     ~std::uintptr_t{63});
    for (u64 c0 = 0; c0 < n; c0 += panel) {
        cancel::check();
        const u64 w = std::min(n, c0 + panel) - c0, wp = round_up_lanes(w);
        copy_columns_out(m, n, c0, w, wp, r, pb);
        kernels::reflect_steps(m, wp, 0, std::min(c0, steps), s.vs.data(), m, s.applied.data(),
                               pb, wp, kernels::Reflect::left);
        // next_sq: the norm sum of the next step's column, when the last reflection formed it.
        f64 next_sq = 0.0;
        bool have_next = false;
        const u64 k_end = std::min(c0 + w, steps);
        for (u64 k = c0; k < k_end; ++k) {
            const u64 len = m - k, c = k - c0;
            f64* v = &s.vs[k * m];
            const bool ok = kernels::householder_vector(len, pb + k * wp + c, wp, v,
                                                        have_next ? &next_sq : nullptr);
            have_next = false;
            if (!ok) continue;
            s.applied[k] = 1;
            const u64 c_start = c / lanes * lanes;
            f64* block = pb + k * wp + c_start;
            if (k + 1 < k_end)
                have_next = kernels::reflect_left_norm(len, wp - c_start, v, block, wp, c + 1 - c_start,
                                                       &next_sq);
            if (!have_next) kernels::reflect(len, wp - c_start, v, block, wp, kernels::Reflect::left);
        }
        copy_columns_in(m, n, c0, w, wp, pb, r);
    }
    for (u64 r0 = 0; r0 < m; r0 += qblock) {
        cancel::check();
        const u64 w = std::min(qblock, m - r0), wp = round_up_lanes(w);
        // pb[c * wp + j] = Q[r0 + j, c], starting from the identity (padding rows at zero).
        std::fill(pb, pb + m * wp, 0.0);
        for (u64 j = 0; j < w; ++j) pb[(r0 + j) * wp + j] = 1.0;
        kernels::reflect_steps(m, wp, 0, steps, s.vs.data(), m, s.applied.data(), pb, wp,
                               kernels::Reflect::right);
        for (u64 j = 0; j < w; ++j)
            for (u64 c = 0; c < m; ++c) q[(r0 + j) * m + c] = pb[c * wp + j];
    }
}

// Whether sqrt(0.0 + the squares of the off-diagonal entries, row by row) < tol. Adding a
// square never makes the sum smaller and sqrt is monotone, so once the root of a partial
// sum reaches tol the answer is known to be no and the rest of the sum is skipped. (A NaN
// partial sum never reaches tol and runs to the end, as does any sum when tol is NaN.)
bool off_diagonal_norm_below(u64 n, const f64* a, f64 tol) {
    f64 sq = 0.0;
    for (u64 i = 0; i < n; ++i) {
        const f64* row = a + i * n;
        for (u64 j = 0; j < i; ++j) sq = sq + row[j] * row[j];
        for (u64 j = i + 1; j < n; ++j) sq = sq + row[j] * row[j];
        if (std::sqrt(sq) >= tol) return false;
    }
    return std::sqrt(sq) < tol;
}

void clear_below_diagonal(u64 m, u64 n, f64* r) {
    for (u64 i = 1; i < m; ++i) std::fill(r + i * n, r + i * n + std::min(i, n), 0.0);
}

}  // namespace

Array64 matmul(const Array64& a, const Array64& b) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra == 1 && rb == 1) {
        VELTRIX_ASSERT_EQ(a.shape[0], b.shape[0], "Vectors must have same length");
        f64 s = -0.0;
        const u64 n = a.shape[0];
        for (u64 t = 0; t < n; ++t) s = s + a.data[t] * b.data[t];
        return Array64(Shape::d1(1), Storage<f64>{s});
    }
    if (ra == 1 && rb == 2) {
        VELTRIX_ASSERT_EQ(a.shape[0], b.shape[0], "Inner dimensions must match");
        const u64 n = b.shape[0], q = b.shape[1];
        Storage<f64> out(q);
        kernels::gevm(n, q, a.data.data(), b.data.data(), out.data());
        return Array64(Shape::d1(q), std::move(out));
    }
    if (ra == 2 && rb == 1) {
        VELTRIX_ASSERT_EQ(a.shape[1], b.shape[0], "Inner dimensions must match");
        const u64 m = a.shape[0], n = a.shape[1];
        Storage<f64> out(m);
        kernels::gemv(m, n, a.data.data(), b.data.data(), out.data());
        return Array64(Shape::d1(m), std::move(out));
    }
    if (ra == 2 && rb == 2) {
        const u64 m = a.shape[0], n = a.shape[1], p = b.shape[0], q = b.shape[1];
        VELTRIX_ASSERT_EQ(n, p,
                          "Inner dimensions must match: " + std::to_string(n) + " vs " +
                              std::to_string(p));
        const Result<u64> size = checked_size(Shape{m, q});
        if (!size) VELTRIX_FAIL("capacity overflow");
        Storage<f64> out = buffer::zeroed<f64>(m * q);
        kernels::gemm(m, q, n, {a.data.data(), n, 1}, {b.data.data(), q, 1}, out.data());
        return Array64(Shape{m, q}, std::move(out));
    }
    VELTRIX_FAIL("matmul requires 1D or 2D arrays");
}

Array64 outer(const Array64& a, const Array64& b) {
    VELTRIX_ASSERT_EQ(a.ndim(), 1, "First input must be 1D");
    VELTRIX_ASSERT_EQ(b.ndim(), 1, "Second input must be 1D");
    const u64 m = a.shape[0], n = b.shape[0];
    const Result<u64> size = checked_size(Shape{m, n});
    if (!size) VELTRIX_FAIL("capacity overflow");
    Storage<f64> out = buffer::zeroed<f64>(m * n);
    for (u64 i = 0; i < m; ++i) {
        const f64 ai = a.data[i];
        f64* row = out.data() + i * n;
        for (u64 j = 0; j < n; ++j) row[j] = ai * b.data[j];
    }
    return Array64(Shape{m, n}, std::move(out));
}

Array64 transpose(const Array64& a) {
    VELTRIX_ASSERT_EQ(a.ndim(), 2, "transpose requires 2D array");
    const u64 r = a.shape[0], c = a.shape[1];
    Storage<f64> out = buffer::zeroed<f64>(r * c);
    transpose_into(r, c, a.data.data(), out.data());
    return Array64(Shape{c, r}, std::move(out));
}

Array64 diagonal(const Array64& a, i64 k) {
    VELTRIX_ASSERT_EQ(a.ndim(), 2, "Input must be 2D");
    const u64 r = a.shape[0], c = a.shape[1];
    const u64 f = k >= 0 ? static_cast<u64>(k) : 0;
    const u64 g = k < 0 ? magnitude(k) : 0;
    if (!(g < r && f < c)) return Array64(Shape::d1(0), {});
    const u64 len = std::min(c - f, r - g);
    Storage<f64> out(len);
    for (u64 i = 0; i < len; ++i) out[i] = a.data[(g + i) * c + (f + i)];
    return Array64(Shape::d1(len), std::move(out));
}

Array64 from_diag(const Array64& v, i64 k) {
    VELTRIX_ASSERT_EQ(v.ndim(), 1, "Input must be 1D");
    const u64 len = v.shape[0];
    const u64 off = magnitude(k);
    if (off > UINT64_MAX - len) VELTRIX_FAIL("capacity overflow");
    const u64 n = len + off;
    Array64 out = square_zeros(n);
    for (u64 i = 0; i < len; ++i) {
        const u64 row = k < 0 ? i + off : i;
        const u64 col = k < 0 ? i : i + off;
        out.data[row * n + col] = v.data[i];
    }
    return out;
}

Result<Array64> cholesky(const Array64& a) {
    if (a.ndim() != 2) return Error{"Cholesky decomposition requires a 2D matrix"};
    if (a.shape[0] != a.shape[1]) return Error{"Cholesky decomposition requires a square matrix"};
    const u64 n = a.shape[0];
    const f64* ad = a.data.data();
    // Column by column on Lᵀ, right-looking in blocks of columns. The sum of L[i, t]·L[j, t]
    // over t ascending, started at +0.0, is carried in st[j, i] (i >= j): within a block each
    // column adds the terms of the block's earlier columns itself, and once a block is final
    // its terms are added to the sums of every later column at once, as a matrix product that
    // carries the sums on. So each L[i, j] is formed from the same values with the same
    // operations as row by row (the product carries its factors swapped, which is the same
    // value), and the diagonal remainders are met in the same order; the first one that is
    // not positive stops the factorisation.
    constexpr u64 nb = 32, rb = 64;
    std::vector<f64> lt(n * n, 0.0);  // lt[t * n + i] = L[i, t]
    Storage<f64> st(n * n, 0.0);  // running sums; becomes the result
    for (u64 b0 = 0; b0 < n; b0 += nb) {
        cancel::check();
        const u64 b1 = std::min(n, b0 + nb);
        for (u64 j = b0; j < b1; ++j) {
            const u64 rest = n - j;
            f64* col = st.data() + j * n + j;
            for (u64 t = b0; t < j; ++t) {
                const f64* lcol = lt.data() + t * n + j;  // L[j.., t]
                const f64 ljt = lcol[0];
                for (u64 i = 0; i < rest; ++i) col[i] = col[i] + lcol[i] * ljt;
            }
            const f64 d = ad[j * n + j] - col[0];
            if (d <= 0.0) return Error{"Matrix is not positive definite"};
            const f64 ljj = std::sqrt(d);
            f64* out = lt.data() + j * n + j;
            out[0] = ljj;
            for (u64 i = 1; i < rest; ++i) out[i] = (ad[(j + i) * n + j] - col[i]) / ljj;
        }
        // st[c, i] += L[c, t]·L[i, t] over the block's t, for b1 <= c <= i, in row blocks
        // that start at the diagonal.
        const f64* block = lt.data() + b0 * n + b1;  // block[t * n + r] = L[b1 + r, b0 + t]
        for (u64 r0 = 0; b1 + r0 < n; r0 += rb) {
            const u64 r1 = std::min(n - b1, r0 + rb);
            kernels::gemm_accumulate(r1 - r0, n - b1 - r0, b1 - b0, {block + r0, 1, n},
                                     {block + r0, n, 1}, st.data() + (b1 + r0) * n + b1 + r0, n);
        }
    }
    transpose_into(n, n, lt.data(), st.data());
    return Array64(Shape{n, n}, std::move(st));
}

Result<QrResult> qr(const Array64& a) {
    if (a.ndim() != 2) return Error{"QR decomposition requires a 2D matrix"};
    const u64 m = a.shape[0], n = a.shape[1];
    Storage<f64> r = copy_of(a.data.data(), a.data.size());
    const Result<u64> qsize = checked_size(Shape{m, m});
    if (!qsize) VELTRIX_FAIL("capacity overflow");
    Storage<f64> q = buffer::zeroed<f64>(m * m);
    HouseholderScratch scratch;
    householder(m, n, r.data(), q.data(), scratch);
    clear_below_diagonal(m, n, r.data());
    return QrResult{Array64(Shape{m, m}, std::move(q)), Array64(Shape{m, n}, std::move(r))};
}

Result<EigResult> eig_with_params(const Array64& a, u64 max_iter, f64 tol) {
    if (a.ndim() != 2) return Error{"Eigendecomposition requires a 2D matrix"};
    if (a.shape[0] != a.shape[1]) return Error{"Eigendecomposition requires a square matrix"};
    const u64 n = a.shape[0];
    if (n == 0) return EigResult{Array64(Shape::d1(0), {}), Array64(Shape{0, 0}, {})};
    if (n == 1)
        return EigResult{Array64(Shape::d1(1), {a.data[0]}), Array64(Shape{1, 1}, {1.0})};

    // The iterate A sits on top of V in one 2n×n buffer, so that R·Q and V·Q are one
    // product of the stacked rows with Q. The QR step turns the top half into R in place.
    std::vector<f64> stack(2 * n * n), out(2 * n * n), q(n * n);
    std::copy(a.data.begin(), a.data.end(), stack.begin());
    set_identity(n, stack.data() + n * n);
    HouseholderScratch scratch;
    for (u64 iter = 0; iter < max_iter; ++iter) {
        householder(n, n, stack.data(), q.data(), scratch);
        clear_below_diagonal(n, n, stack.data());
        kernels::gemm_upper(2 * n, n, n, n, {stack.data(), n, 1}, {q.data(), n, 1}, out.data());
        std::swap(stack, out);
        if (off_diagonal_norm_below(n, stack.data(), tol)) break;
    }
    const f64* cur = stack.data();
    const f64* vec = stack.data() + n * n;

    std::vector<f64> d(n);
    for (u64 i = 0; i < n; ++i) d[i] = cur[i * n + i];
    std::vector<u64> perm(n);
    std::iota(perm.begin(), perm.end(), u64{0});
    // Descending absolute value; NaN sorts after every number, and equal keys (NaNs
    // among themselves too) keep their diagonal order.
    std::stable_sort(perm.begin(), perm.end(), [&](u64 x, u64 y) {
        const f64 ax = std::fabs(d[x]), ay = std::fabs(d[y]);
        if (std::isnan(ax)) return false;
        if (std::isnan(ay)) return true;
        return ax > ay;
    });
    Storage<f64> values(n), vectors(n * n);
    for (u64 j = 0; j < n; ++j) values[j] = d[perm[j]];
    for (u64 row = 0; row < n; ++row)
        for (u64 j = 0; j < n; ++j) vectors[row * n + j] = vec[row * n + perm[j]];
    return EigResult{Array64(Shape::d1(n), std::move(values)), Array64(Shape{n, n}, std::move(vectors))};
}

Result<Array64> eigvals(const Array64& a) {
    Result<EigResult> res = eig_with_params(a, 1000, 1e-10);
    if (!res) return Error{res.error()};
    return std::move(res.value().values);
}

}  // namespace veltrix
