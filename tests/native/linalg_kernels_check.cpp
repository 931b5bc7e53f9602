// Holds the blocked and vectorised linear-algebra kernels against the plain loops they
// replace, bit for bit, for every instruction set the CPU runs; `--bench` times both.
//
// The plain loops here are the reference orders: one accumulator per element, products
// added in ascending inner index, nothing reordered.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "array/linalg.hpp"
#include "array/linalg_kernels.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;
using kernels::Isa;

namespace {

template <class X, class Y>
bool same_bits(const X& x, const Y& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * 8) == 0);
}

std::vector<f64> random_values(std::mt19937_64& rng, u64 n, bool with_specials = false) {
    std::uniform_real_distribution<f64> u(-2.0, 2.0);
    std::vector<f64> v(n);
    for (f64& x : v) x = u(rng);
    if (with_specials && n > 0) {
        // Signed zeros decide the sign of zero sums; keep a few in play.
        std::uniform_int_distribution<u64> pick(0, n - 1);
        for (u64 i = 0; i < n / 7 + 1; ++i) v[pick(rng)] = (i % 2) ? -0.0 : 0.0;
    }
    return v;
}

// ----------------------------------------------------------------------------------------
// Reference loops

std::vector<f64> ref_matmul(u64 m, u64 n, u64 q, const std::vector<f64>& a, const std::vector<f64>& b) {
    std::vector<f64> c(m * q);
    for (u64 i = 0; i < m; ++i)
        for (u64 j = 0; j < q; ++j) {
            f64 s = -0.0;
            for (u64 t = 0; t < n; ++t) s = s + a[i * n + t] * b[t * q + j];
            c[i * q + j] = s;
        }
    return c;
}

struct RefQr {
    std::vector<f64> q, r;
};

RefQr ref_qr(u64 m, u64 n, const std::vector<f64>& a) {
    std::vector<f64> r = a, q(m * m, 0.0);
    for (u64 i = 0; i < m; ++i) q[i * m + i] = 1.0;
    for (u64 k = 0; k < std::min(m, n); ++k) {
        const u64 len = m - k;
        std::vector<f64> x(len);
        for (u64 i = 0; i < len; ++i) x[i] = r[(k + i) * n + k];
        f64 s = 0.0;
        for (f64 xi : x) s = s + xi * xi;
        const f64 nx = std::sqrt(s);
        if (nx < 1e-14) continue;
        std::vector<f64> v = x;
        v[0] = x[0] + (x[0] >= 0.0 ? 1.0 : -1.0) * nx;
        s = 0.0;
        for (f64 vi : v) s = s + vi * vi;
        const f64 nv = std::sqrt(s);
        if (nv < 1e-14) continue;
        for (f64& vi : v) vi = vi / nv;
        std::vector<f64> w(n - k);
        for (u64 j = k; j < n; ++j) {
            f64 acc = 0.0;
            for (u64 i = 0; i < len; ++i) acc = acc + v[i] * r[(k + i) * n + j];
            w[j - k] = acc;
        }
        for (u64 i = 0; i < len; ++i)
            for (u64 j = k; j < n; ++j)
                r[(k + i) * n + j] = r[(k + i) * n + j] - (v[i] + v[i]) * w[j - k];
        std::vector<f64> u(m);
        for (u64 row = 0; row < m; ++row) {
            f64 acc = 0.0;
            for (u64 i = 0; i < len; ++i) acc = acc + v[i] * q[row * m + k + i];
            u[row] = acc;
        }
        for (u64 row = 0; row < m; ++row)
            for (u64 i = 0; i < len; ++i)
                q[row * m + k + i] = q[row * m + k + i] - (u[row] + u[row]) * v[i];
    }
    for (u64 i = 0; i < m; ++i)
        for (u64 j = 0; j < std::min(i, n); ++j) r[i * n + j] = 0.0;
    return {q, r};
}

// Empty on failure.
std::vector<f64> ref_cholesky(u64 n, const std::vector<f64>& a) {
    std::vector<f64> l(n * n, 0.0);
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j <= i; ++j) {
            f64 s = 0.0;
            for (u64 t = 0; t < j; ++t) s = s + l[i * n + t] * l[j * n + t];
            if (j == i) {
                const f64 d = a[i * n + i] - s;
                if (d <= 0.0) return {};
                l[i * n + i] = std::sqrt(d);
            } else {
                l[i * n + j] = (a[i * n + j] - s) / l[j * n + j];
            }
        }
    return l;
}

struct RefEig {
    std::vector<f64> a, v;  // last iterate and accumulated vectors, before sorting
};

RefEig ref_eig_iterate(u64 n, const std::vector<f64>& a0, u64 max_iter, f64 tol) {
    std::vector<f64> a = a0, v(n * n, 0.0);
    for (u64 i = 0; i < n; ++i) v[i * n + i] = 1.0;
    for (u64 it = 0; it < max_iter; ++it) {
        RefQr f = ref_qr(n, n, a);
        a = ref_matmul(n, n, n, f.r, f.q);
        v = ref_matmul(n, n, n, v, f.q);
        f64 s = 0.0;
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j)
                if (i != j) s = s + a[i * n + j] * a[i * n + j];
        if (std::sqrt(s) < tol) break;
    }
    return {a, v};
}

// The same orders written with validated multi-index element access and fresh vectors
// per column, as a straightforward implementation would; timed only.
Array64 indexed_matmul(const Array64& a, const Array64& b) {
    const u64 m = a.shape[0], n = a.shape[1], q = b.shape[1];
    Storage<f64> out;
    out.reserve(m * q);
    for (u64 i = 0; i < m; ++i)
        for (u64 j = 0; j < q; ++j) {
            f64 s = -0.0;
            for (u64 t = 0; t < n; ++t) s = s + *a.get({i, t}) * *b.get({t, j});
            out.push_back(s);
        }
    return Array64(Shape{m, q}, std::move(out));
}

std::pair<Array64, Array64> indexed_qr(const Array64& a) {
    const u64 m = a.shape[0], n = a.shape[1];
    Array64 r = a.clone(), q = Array64::zeros(Shape{m, m});
    for (u64 i = 0; i < m; ++i) *q.get_mut({i, i}) = 1.0;
    for (u64 k = 0; k < std::min(m, n); ++k) {
        std::vector<f64> x;
        for (u64 i = k; i < m; ++i) x.push_back(*r.get({i, k}));
        f64 s = 0.0;
        for (f64 xi : x) s = s + xi * xi;
        const f64 nx = std::sqrt(s);
        if (nx < 1e-14) continue;
        std::vector<f64> v = x;
        v[0] = x[0] + (x[0] >= 0.0 ? 1.0 : -1.0) * nx;
        s = 0.0;
        for (f64 vi : v) s = s + vi * vi;
        const f64 nv = std::sqrt(s);
        if (nv < 1e-14) continue;
        for (f64& vi : v) vi = vi / nv;
        std::vector<f64> w;
        for (u64 j = k; j < n; ++j) {
            f64 acc = 0.0;
            for (u64 i = 0; i < v.size(); ++i) acc = acc + v[i] * *r.get({k + i, j});
            w.push_back(acc);
        }
        for (u64 i = 0; i < v.size(); ++i)
            for (u64 j = k; j < n; ++j) {
                f64* e = r.get_mut({k + i, j});
                *e = *e - (v[i] + v[i]) * w[j - k];
            }
        std::vector<f64> u;
        for (u64 row = 0; row < m; ++row) {
            f64 acc = 0.0;
            for (u64 i = 0; i < v.size(); ++i) acc = acc + v[i] * *q.get({row, k + i});
            u.push_back(acc);
        }
        for (u64 row = 0; row < m; ++row)
            for (u64 i = 0; i < v.size(); ++i) {
                f64* e = q.get_mut({row, k + i});
                *e = *e - (u[row] + u[row]) * v[i];
            }
    }
    for (u64 i = 0; i < m; ++i)
        for (u64 j = 0; j < std::min(i, n); ++j) *r.get_mut({i, j}) = 0.0;
    return {std::move(q), std::move(r)};
}

void indexed_eig_iterate(const Array64& a0, u64 iters) {
    const u64 n = a0.shape[0];
    Array64 a = a0.clone(), v = Array64::zeros(Shape{n, n});
    for (u64 i = 0; i < n; ++i) *v.get_mut({i, i}) = 1.0;
    for (u64 it = 0; it < iters; ++it) {
        auto [q, r] = indexed_qr(a);
        a = indexed_matmul(r, q);
        v = indexed_matmul(v, q);
    }
}

// ----------------------------------------------------------------------------------------
// Checks

// Every variant the CPU can run; the AVX-512 kernels' logic also runs as AVX2 code here.
const Isa isas[] = {Isa::generic, Isa::avx2, Isa::avx512, kernels::avx512_as_avx2};

bool runs(Isa isa) { return isa_supported(isa == kernels::avx512_as_avx2 ? Isa::avx2 : isa); }
const char* name_of(Isa isa) {
    return isa == kernels::avx512_as_avx2 ? "avx512-as-avx2" : veltrix::isa_name(isa).data();
}

void check_gemm(std::mt19937_64& rng) {
    // Around the tile sides (4, 6, 8), the cache blocks (96, 256) and tiny or empty shapes.
    const u64 sizes[] = {0, 1, 2, 3, 5, 6, 7, 8, 9, 13, 17, 95, 97, 257};
    for (Isa isa : isas) {
        if (!runs(isa)) continue;
        for (u64 m : sizes)
            for (u64 n : sizes)
                for (u64 q : {u64(0), u64(1), u64(7), u64(12), u64(25), u64(97)}) {
                    if (m * n * q > 3000000) continue;
                    const auto a = random_values(rng, m * n, true), b = random_values(rng, n * q, true);
                    std::vector<f64> c(m * q, 1234.5);
                    kernels::gemm(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
                    expect(same_bits(c, ref_matmul(m, n, q, a, b)),
                           std::string("gemm ") + name_of(isa) + " " + std::to_string(m) + "x" +
                               std::to_string(n) + "x" + std::to_string(q));
                    // The same product with B given through its transpose.
                    std::vector<f64> bt(n * q);
                    for (u64 t = 0; t < n; ++t)
                        for (u64 j = 0; j < q; ++j) bt[j * n + t] = b[t * q + j];
                    std::vector<f64> c2(m * q);
                    kernels::gemm(m, q, n, {a.data(), n, 1}, {bt.data(), 1, n}, c2.data(), isa);
                    expect(same_bits(c2, c), std::string("gemm transposed B ") + name_of(isa));
                    // Carried on from existing sums, into a wider matrix.
                    if (m * q > 0) {
                        const u64 ldc = q + 3;
                        auto start = random_values(rng, m * ldc, true);
                        auto acc = start;
                        kernels::gemm_accumulate(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, acc.data(), ldc, isa);
                        for (u64 i = 0; i < m; ++i)
                            for (u64 j = 0; j < q; ++j) {
                                f64 s = start[i * ldc + j];
                                for (u64 t = 0; t < n; ++t) s = s + a[i * n + t] * b[t * q + j];
                                start[i * ldc + j] = s;
                            }
                        expect(same_bits(acc, start), std::string("gemm_accumulate ") + name_of(isa));
                    }
                }
        // Around the largest left factor read in place (128·128 elements, one inner block; B
        // read once per row strip only up to 256·128 elements), and a left factor with strided
        // rows at a small size.
        const u64 edge_shapes[][3] = {{128, 128, 24}, {129, 128, 24}, {64, 256, 16}, {64, 257, 16},
                                      {100, 163, 9}, {101, 163, 9}, {40, 256, 128}, {40, 256, 129},
                                      {8, 128, 256}, {8, 128, 257}, {42, 384, 85}, {42, 385, 85},
                                      {43, 384, 80}, {40, 384, 86}};
        for (const auto& sh : edge_shapes) {
            const u64 m = sh[0], n = sh[1], q = sh[2];
            const auto a = random_values(rng, m * n, true), b = random_values(rng, n * q, true);
            std::vector<f64> c(m * q);
            kernels::gemm(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
            const auto want = ref_matmul(m, n, q, a, b);
            expect(same_bits(c, want), std::string("gemm ") + name_of(isa) + " " + std::to_string(m) +
                                           "x" + std::to_string(n) + "x" + std::to_string(q));
            std::vector<f64> at(m * n);
            for (u64 i = 0; i < m; ++i)
                for (u64 t = 0; t < n; ++t) at[t * m + i] = a[i * n + t];
            kernels::gemm(m, q, n, {at.data(), 1, m}, {b.data(), q, 1}, c.data(), isa);
            expect(same_bits(c, want), std::string("gemm transposed A ") + name_of(isa));
        }
        // Rows above tri are upper triangular with +0.0 left of the diagonal. Columns of B
        // that are negative throughout make the sums of those zero products -0.0, and an
        // infinity makes them NaN.
        const u64 upper_shapes[][4] = {{1, 1, 1, 1},  {7, 5, 9, 7},    {12, 12, 16, 6}, {13, 13, 17, 13},
                                       {20, 9, 8, 20}, {128, 64, 64, 64}, {70, 70, 70, 33},
                                       {129, 128, 24, 64}, {30, 300, 10, 30}, {36, 24, 33, 24},
                                       // The eigen-iteration's stacked R over V, times Q.
                                       {130, 65, 65, 65}, {258, 129, 129, 129}, {400, 200, 200, 200}};
        for (const auto& sh : upper_shapes) {
            const u64 m = sh[0], n = sh[1], q = sh[2], tri = sh[3];
            auto a = random_values(rng, m * n, true);
            for (u64 i = 0; i < tri; ++i)
                for (u64 t = 0; t < std::min(i, n); ++t) a[i * n + t] = 0.0;
            auto b = random_values(rng, n * q, true);
            for (u64 t = 0; t < n; ++t) {
                if (q > 1) b[t * q + 1] = -std::fabs(b[t * q + 1]);
                if (q > 2) b[t * q + 2] = -0.0;
            }
            if (q > 3 && n > 4) b[4 * q + 3] = INFINITY;
            std::vector<f64> c(m * q, 1234.5);
            kernels::gemm_upper(m, q, n, tri, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
            expect(same_bits(c, ref_matmul(m, n, q, a, b)),
                   std::string("gemm_upper ") + name_of(isa) + " " + std::to_string(m) + "x" +
                       std::to_string(n) + "x" + std::to_string(q) + " tri " + std::to_string(tri));
        }
        // Every dimension across every tile side (4, 6, 8 rows; 4, 8, 24 columns), cache block
        // (KC 96, 256 and 384, MC 48, 96 and 192, NC 1008 and 1024) and vector edge, the others
        // held at sizes that are themselves off every edge.
        const u64 edges[] = {0,   1,   7,   8,   9,   11,  12,  13,  15,  16,   17,   23,   24,  25,
                             47,  48,  49,  63,  64,  65,  95,  96,  97,  127,  128,  129,  191,
                             192, 193, 255, 256, 257, 383, 384, 385, 511, 513,  767,  768,  769,
                             1007, 1008, 1009, 1023, 1025};
        for (u64 e : edges) {
            const u64 shapes[][3] = {{e, 65, 17}, {13, e, 33}, {9, 129, e}};
            for (const auto& sh : shapes) {
                const u64 m = sh[0], n = sh[1], q = sh[2];
                const auto a = random_values(rng, m * n, true), b = random_values(rng, n * q, true);
                std::vector<f64> c(m * q, 1234.5);
                kernels::gemm(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
                expect(same_bits(c, ref_matmul(m, n, q, a, b)),
                       std::string("gemm edge ") + name_of(isa) + " " + std::to_string(m) + "x" +
                           std::to_string(n) + "x" + std::to_string(q));
            }
        }
        {
            // Several blocks in every direction at once.
            const u64 m = 193, n = 257, q = 1030;
            const auto a = random_values(rng, m * n), b = random_values(rng, n * q);
            std::vector<f64> c(m * q);
            kernels::gemm(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
            expect(same_bits(c, ref_matmul(m, n, q, a, b)), std::string("gemm blocks ") + name_of(isa));
        }
        // Wider than one column block.
        const u64 m = 3, n = 300, q = 2100;
        const auto a = random_values(rng, m * n), b = random_values(rng, n * q);
        std::vector<f64> c(m * q);
        kernels::gemm(m, q, n, {a.data(), n, 1}, {b.data(), q, 1}, c.data(), isa);
        expect(same_bits(c, ref_matmul(m, n, q, a, b)), std::string("gemm wide ") + name_of(isa));
    }
}

void check_vector_products(std::mt19937_64& rng) {
    for (Isa isa : isas) {
        if (!runs(isa)) continue;
        // Row counts around the blocks of eight and four rows, lengths around four columns.
        for (u64 m : {0, 1, 4, 7, 8, 9, 12, 13, 17, 64, 65, 513, 1030})
            for (u64 n : {0, 1, 3, 4, 5, 8, 33, 63, 511, 1100}) {
                const auto a = random_values(rng, m * n, true), x = random_values(rng, n, true);
                std::vector<f64> y(m);
                kernels::gemv(m, n, a.data(), x.data(), y.data(), isa);
                expect(same_bits(y, ref_matmul(m, n, 1, a, x)), std::string("gemv ") + name_of(isa));
                const auto xv = random_values(rng, m, true);
                std::vector<f64> z(n);
                kernels::gevm(m, n, xv.data(), a.data(), z.data(), isa);
                expect(same_bits(z, ref_matmul(1, m, n, xv, a)), std::string("gevm ") + name_of(isa));
            }
    }
}

void check_householder_kernels(std::mt19937_64& rng) {
    for (Isa isa : isas) {
        if (!runs(isa)) continue;
        // Sequences of reflections with skipped steps, against one plain step after another.
        for (u64 rows : {1, 2, 9, 40}) for (u64 cols : {1, 7, 8, 16, 17, 24, 32, 33, 40, 56, 64}) {
            const u64 ld = cols + 2, steps = std::min<u64>(rows, 12);
            const auto vs = random_values(rng, steps * rows, true);
            std::vector<unsigned char> applied(steps);
            for (u64 k = 0; k < steps; ++k) applied[k] = (k % 3) != 1;
            for (kernels::Reflect form : {kernels::Reflect::left, kernels::Reflect::right}) {
                auto m = random_values(rng, rows * ld, true), e = m;
                kernels::reflect_steps(rows, cols, 0, steps, vs.data(), rows, applied.data(), m.data(), ld, form, isa);
                for (u64 k = 0; k < steps; ++k) {
                    if (!applied[k]) continue;
                    const f64* v = &vs[k * rows];
                    for (u64 j = 0; j < cols; ++j) {
                        f64 w = 0.0;
                        for (u64 i = k; i < rows; ++i) w = w + v[i - k] * e[i * ld + j];
                        for (u64 i = k; i < rows; ++i)
                            e[i * ld + j] = form == kernels::Reflect::left
                                                ? e[i * ld + j] - (v[i - k] + v[i - k]) * w
                                                : e[i * ld + j] - (w + w) * v[i - k];
                    }
                }
                expect(same_bits(m, e), std::string("reflect_steps ") + name_of(isa) + " " +
                                            std::to_string(rows) + "x" + std::to_string(cols));
            }
        }
        // The left reflection that also forms the next column's norm sum.
        for (u64 rows : {1, 2, 13, 40}) for (u64 cols : {1, 8, 16, 24, 32, 40, 64}) {
            const u64 ld = cols + 3, col = cols > 1 ? cols / 2 + 1 : 0;
            const auto v = random_values(rng, rows, true);
            auto m = random_values(rng, rows * ld, true), e = m, before = m;
            f64 sq = -1.0;
            const bool done = kernels::reflect_left_norm(rows, cols, v.data(), m.data(), ld, col, &sq, isa);
            kernels::reflect(rows, cols, v.data(), e.data(), ld, kernels::Reflect::left, isa);
            f64 want = 0.0;
            for (u64 i = 1; i < rows; ++i) want = want + e[i * ld + col] * e[i * ld + col];
            // Whole vectors up to the widest register block: 16 columns for the portable set.
            const bool whole = cols % 8 == 0 && cols <= (isa == Isa::generic ? 16u : 32u);
            const std::string what = std::string("reflect_left_norm ") + name_of(isa) + " " +
                                     std::to_string(rows) + "x" + std::to_string(cols);
            if (done) expect(same_bits(m, e) && std::memcmp(&sq, &want, 8) == 0, what);
            else expect(!whole && sq == -1.0 && same_bits(m, before), what + " declined");
        }
        // One reflection over every column count up to past the widest register block.
        for (u64 rows : {1, 5, 30}) for (u64 cols = 0; cols <= 70; ++cols) {
            const u64 ld = cols + 1;
            const auto v = random_values(rng, rows, true);
            for (kernels::Reflect form : {kernels::Reflect::left, kernels::Reflect::right}) {
                auto m = random_values(rng, rows * ld, true), e = m;
                kernels::reflect(rows, cols, v.data(), m.data(), ld, form, isa);
                for (u64 j = 0; j < cols; ++j) {
                    f64 w = 0.0;
                    for (u64 i = 0; i < rows; ++i) w = w + v[i] * e[i * ld + j];
                    for (u64 i = 0; i < rows; ++i)
                        e[i * ld + j] = form == kernels::Reflect::left ? e[i * ld + j] - (v[i] + v[i]) * w
                                                                       : e[i * ld + j] - (w + w) * v[i];
                }
                expect(same_bits(m, e), std::string("reflect ") + name_of(isa) + " " +
                                            std::to_string(rows) + "x" + std::to_string(cols));
            }
        }
    }
}

void check_factorisations(std::mt19937_64& rng) {
    // Around the vector padding (8), the fused sweep widths (16) and the panels and row blocks (32).
    const u64 sizes[] = {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 65, 100};
    for (u64 m : sizes)
        for (u64 n : sizes) {
            const auto a = random_values(rng, m * n, true);
            Result<QrResult> f = qr(array_of(Shape{m, n}, a));
            const RefQr ref = ref_qr(m, n, a);
            expect(f.ok() && same_bits(f.value().q.data, ref.q) && same_bits(f.value().r.data, ref.r),
                   "qr " + std::to_string(m) + "x" + std::to_string(n));
        }
    for (u64 n : {0, 1, 2, 5, 31, 32, 33, 64, 97, 130}) {
        // B·Bᵀ + n·I is positive definite.
        const auto b = random_values(rng, n * n);
        auto a = ref_matmul(n, n, n, b, [&] {
            std::vector<f64> t(n * n);
            for (u64 i = 0; i < n; ++i) for (u64 j = 0; j < n; ++j) t[j * n + i] = b[i * n + j];
            return t;
        }());
        for (u64 i = 0; i < n; ++i) a[i * n + i] = a[i * n + i] + f64(n);
        Result<Array64> l = cholesky(array_of(Shape{n, n}, a));
        expect(l.ok() && same_bits(l.value().data, ref_cholesky(n, a)), "cholesky " + std::to_string(n));
        if (n >= 2) {
            // A remainder that is not positive half-way down: both orders fail.
            auto bad = a;
            bad[(n / 2) * n + n / 2] = -1.0;
            expect(!cholesky(array_of(Shape{n, n}, bad)).ok() && ref_cholesky(n, bad).empty(),
                   "cholesky failure " + std::to_string(n));
        }
    }
}

void check_eig(std::mt19937_64& rng) {
    for (u64 n : {2, 3, 6, 13, 40}) {
        auto b = random_values(rng, n * n);
        std::vector<f64> a(n * n);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) a[i * n + j] = b[i * n + j] + b[j * n + i];
        for (u64 iters : {0, 1, 7, 60}) {
            Result<EigResult> e = eig_with_params(array_of(Shape{n, n}, a), iters, 1e-10);
            const RefEig ref = ref_eig_iterate(n, a, iters, 1e-10);
            bool ok = e.ok();
            // Each value must be a diagonal entry of the reference iterate, with its column.
            for (u64 j = 0; ok && j < n; ++j) {
                bool found = false;
                for (u64 p = 0; p < n && !found; ++p) {
                    if (std::memcmp(&ref.a[p * n + p], &e.value().values.data[j], 8) != 0) continue;
                    found = true;
                    for (u64 r = 0; r < n; ++r)
                        found = found && std::memcmp(&ref.v[r * n + p], &e.value().vectors.data[r * n + j], 8) == 0;
                }
                ok = found;
            }
            expect(ok, "eig " + std::to_string(n) + " iterations " + std::to_string(iters));
        }
    }
}

// ----------------------------------------------------------------------------------------
// Timing

// Processor time of this process, so that other work on a shared machine counts less.
double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <class F>
double best_seconds(F&& f, int reps) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const double t0 = cpu_seconds();
        f();
        best = std::min(best, cpu_seconds() - t0);
    }
    return best;
}

void bench() {
    std::mt19937_64 rng(7);
    for (u64 n : {64, 256, 512, 1024}) {
        const auto a = random_values(rng, n * n), b = random_values(rng, n * n);
        std::vector<f64> c(n * n);
        const int reps = n <= 256 ? 20 : 5;
        for (Isa isa : isas) {
            if (!runs(isa) || isa == kernels::avx512_as_avx2) continue;  // a check, not a speed
            const double s = best_seconds([&] { kernels::gemm(n, n, n, {a.data(), n, 1}, {b.data(), n, 1}, c.data(), isa); }, reps);
            std::printf("gemm %4llu %-7s %8.3f ms %6.2f GFLOP/s\n", (unsigned long long)n, name_of(isa), s * 1e3,
                        2.0 * n * n * n / s * 1e-9);
        }
        if (n <= 512) {
            const double s = best_seconds([&] { c = ref_matmul(n, n, n, a, b); }, 2);
            std::printf("gemm %4llu plain   %8.3f ms %6.2f GFLOP/s\n", (unsigned long long)n, s * 1e3,
                        2.0 * n * n * n / s * 1e-9);
        }
    }
    {
        const u64 n = 256;
        const auto b = random_values(rng, n * n);
        std::vector<f64> bt(n * n);
        for (u64 i = 0; i < n; ++i) for (u64 j = 0; j < n; ++j) bt[j * n + i] = b[i * n + j];
        auto spd = ref_matmul(n, n, n, b, bt);
        for (u64 i = 0; i < n; ++i) spd[i * n + i] = spd[i * n + i] + f64(n);
        const Array64 arr = array_of(Shape{n, n}, spd);
        const double fast = best_seconds([&] { (void)cholesky(arr); }, 10);
        const double plain = best_seconds([&] { (void)ref_cholesky(n, spd); }, 3);
        std::printf("cholesky 256: fast %.3f ms, plain %.3f ms (%.1fx)\n", fast * 1e3, plain * 1e3, plain / fast);
    }
    {
        const u64 n = 256;
        const auto a = random_values(rng, n * n);
        const Array64 arr = array_of(Shape{n, n}, a);
        const double fast = best_seconds([&] { (void)qr(arr); }, 10);
        const double plain = best_seconds([&] { (void)ref_qr(n, n, a); }, 3);
        const double indexed = best_seconds([&] { (void)indexed_qr(arr); }, 2);
        std::printf("qr 256: fast %.3f ms, plain %.3f ms (%.1fx), indexed %.3f ms (%.1fx)\n", fast * 1e3,
                    plain * 1e3, plain / fast, indexed * 1e3, indexed / fast);
    }
    for (u64 n : {64, 200}) {
        auto b = random_values(rng, n * n);
        std::vector<f64> a(n * n);
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < n; ++j) a[i * n + j] = b[i * n + j] + b[j * n + i];
        const Array64 arr = array_of(Shape{n, n}, a);
        const u64 iters = 20;  // per-iteration cost; an unconverged input runs 1000 of these
        const double fast = best_seconds([&] { (void)eig_with_params(arr, iters, 0.0); }, 5);
        const double plain = best_seconds([&] { (void)ref_eig_iterate(n, a, iters, 0.0); }, 2);
        const double indexed = best_seconds([&] { indexed_eig_iterate(arr, iters); }, 1);
        std::printf("eig %llu (%llu iterations): fast %.3f ms, plain %.3f ms (%.1fx), indexed %.3f ms (%.1fx)\n",
                    (unsigned long long)n, (unsigned long long)iters, fast * 1e3, plain * 1e3, plain / fast,
                    indexed * 1e3, indexed / fast);
        if (n == 64) {
            // A whole run: as the off-diagonal part decays, later iterations meet subnormal
            // numbers, which slow both versions.
            const double whole = best_seconds([&] { (void)eig_with_params(arr, 1000, 1e-10); }, 3);
            const double whole_plain = best_seconds([&] { (void)ref_eig_iterate(n, a, 1000, 1e-10); }, 1);
            std::printf("eig %llu (up to 1000 iterations): fast %.3f ms, plain %.3f ms (%.1fx)\n",
                        (unsigned long long)n, whole * 1e3, whole_plain * 1e3, whole_plain / whole);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--bench") {
        bench();
        return 0;
    }
    std::mt19937_64 rng(20240607);
    check_gemm(rng);
    check_vector_products(rng);
    check_householder_kernels(rng);
    check_factorisations(rng);
    check_eig(rng);
    std::printf("%s (best instruction set: %s; AVX-512 kernels %s)\n",
                failures ? "FAILED" : "all kernels match the plain loops", name_of(kernels::best_isa()),
                runs(Isa::avx512) ? "run natively" : "not run natively, their logic checked as AVX2 code");
    return failures ? 1 : 0;
}
