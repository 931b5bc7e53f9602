// Holds the solvers to the same bits under every instruction set the CPU runs and checks
// their residuals; `--bench` times them.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "array/solvers.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

bool same_bits(const Array64& x, const Array64& y) {
    return x.shape == y.shape &&
           (x.data.empty() || std::memcmp(x.data.data(), y.data.data(), x.data.size() * 8) == 0);
}

Array64 random_matrix(std::mt19937_64& rng, u64 m, u64 n, bool symmetric = false) {
    std::normal_distribution<f64> g;
    Array64 a = Array64::zeros(Shape{m, n});
    for (f64& x : a.data) x = g(rng);
    if (symmetric)
        for (u64 i = 0; i < m; ++i)
            for (u64 j = 0; j < i; ++j) a.data[j * n + i] = a.data[i * n + j];
    return a;
}

std::vector<Isa> isas() {
    std::vector<Isa> out{Isa::generic};
    if (isa_supported(Isa::avx2)) out.push_back(Isa::avx2);
    if (isa_supported(Isa::avx512)) out.push_back(Isa::avx512);
    return out;
}

f64 max_abs(const Storage<f64>& x) {
    f64 m = 0.0;
    for (f64 v : x) m = std::max(m, std::fabs(v));
    return m;
}

// An orthogonal matrix (Householder QR of a random one) times diag(spectrum) times its
// transpose: symmetric with a chosen spectrum.
Array64 with_spectrum(std::mt19937_64& rng, const std::vector<f64>& spectrum) {
    const u64 n = spectrum.size();
    Array64 q = random_matrix(rng, n, n);
    // Modified Gram-Schmidt on the columns, twice, is orthogonal enough for a test matrix.
    for (int pass = 0; pass < 2; ++pass)
        for (u64 j = 0; j < n; ++j) {
            for (u64 p = 0; p < j; ++p) {
                f64 dot = 0.0;
                for (u64 i = 0; i < n; ++i) dot += q.data[i * n + p] * q.data[i * n + j];
                for (u64 i = 0; i < n; ++i) q.data[i * n + j] -= dot * q.data[i * n + p];
            }
            f64 norm = 0.0;
            for (u64 i = 0; i < n; ++i) norm += q.data[i * n + j] * q.data[i * n + j];
            for (u64 i = 0; i < n; ++i) q.data[i * n + j] /= std::sqrt(norm);
        }
    Array64 a = Array64::zeros(Shape{n, n});
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            f64 s = 0.0;
            for (u64 t = 0; t < n; ++t) s += q.data[i * n + t] * spectrum[t] * q.data[j * n + t];
            a.data[i * n + j] = s;
        }
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < i; ++j) a.data[j * n + i] = a.data[i * n + j];
    return a;
}

// eigh's bits under every instruction set, its values those of eigvalsh, its residual and
// orthogonality; with dc_from, divide and conquer from that size on.
void check_eigh_of(const Array64& a, const std::string& what, u64 dc_from = 0) {
    const u64 n = a.shape[0];
    const auto run = [&](Isa isa) { return dc_from ? detail::eigh_from(a, dc_from, isa) : eigh(a, isa); };
    Result<EighResult> ref = run(Isa::generic);
    expect(ref.ok(), "eigh ok " + what);
    if (!ref) return;
    const EighResult& r = ref.value();
    for (Isa isa : isas()) {
        Result<EighResult> other = run(isa);
        expect(other.ok() && same_bits(other.value().values, r.values) &&
                   same_bits(other.value().vectors, r.vectors),
               "eigh bits " + std::string(isa_name(isa)) + " " + what);
        Result<Array64> vals = dc_from ? detail::eigvalsh_from(a, dc_from, isa) : eigvalsh(a, isa);
        expect(vals.ok() && same_bits(vals.value(), r.values), "eigvalsh bits " + what);
    }
    const f64 scale = (max_abs(a.data) + 1.0) * f64(n + 1) * 1e-14;
    f64 res = 0.0, orth = 0.0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            f64 av = 0.0, vv = 0.0;
            for (u64 t = 0; t < n; ++t) {
                av += a.data[i * n + t] * r.vectors.data[t * n + j];
                vv += r.vectors.data[t * n + i] * r.vectors.data[t * n + j];
            }
            res = std::max(res, std::fabs(av - r.vectors.data[i * n + j] * r.values.data[j]));
            orth = std::max(orth, std::fabs(vv - (i == j ? 1.0 : 0.0)));
        }
    expect(res < scale * 10, "eigh residual " + what + " " + std::to_string(res));
    expect(orth < f64(n + 1) * 1e-14, "eigh orthogonality " + what + " " + std::to_string(orth));
    for (u64 j = 1; j < n; ++j) expect(r.values.data[j - 1] <= r.values.data[j], "eigh ascending " + what);
}

void check_eigh(std::mt19937_64& rng, u64 n) {
    check_eigh_of(random_matrix(rng, n, n, true), "n=" + std::to_string(n));
}

// Divide and conquer from 33 on: several levels of merges, and spectra that deflate (repeated
// and clustered values, a matrix that is already diagonal or tridiagonal with tiny couplings).
void check_divide_and_conquer(std::mt19937_64& rng) {
    for (u64 n : {33, 64, 100, 161}) check_eigh_of(random_matrix(rng, n, n, true), "dc n=" + std::to_string(n), 33);
    const u64 n = 120;
    std::vector<f64> repeated(n), clustered(n), graded(n), two(n);
    for (u64 i = 0; i < n; ++i) {
        repeated[i] = f64(i % 3);
        clustered[i] = f64(i / 10) + 1e-13 * f64(i);
        graded[i] = std::pow(10.0, -15.0 * f64(i) / f64(n));
        two[i] = i < n / 2 ? 1.0 : -1.0;
    }
    check_eigh_of(with_spectrum(rng, repeated), "dc repeated", 33);
    check_eigh_of(with_spectrum(rng, clustered), "dc clustered", 33);
    check_eigh_of(with_spectrum(rng, graded), "dc graded", 33);
    check_eigh_of(with_spectrum(rng, two), "dc two values", 33);
    Array64 t = Array64::zeros(Shape{n, n}), id = Array64::zeros(Shape{n, n});
    for (u64 i = 0; i < n; ++i) {
        t.data[i * n + i] = f64(i % 7);  // glued blocks with couplings from 1 down to 1e-15
        id.data[i * n + i] = 1.0;
        if (i + 1 < n) t.data[(i + 1) * n + i] = t.data[i * n + i + 1] = std::pow(10.0, -15.0 * f64(i % 16) / 15.0);
    }
    check_eigh_of(t, "dc glued tridiagonal", 33);
    check_eigh_of(id, "dc identity", 33);
}

void check_solve(std::mt19937_64& rng, u64 n, u64 k) {
    const Array64 a = random_matrix(rng, n, n);
    const Array64 b = random_matrix(rng, n, k);
    Result<Array64> ref = solve(a, b, Isa::generic);
    expect(ref.ok(), "solve ok");
    if (!ref) return;
    for (Isa isa : isas()) {
        Result<Array64> other = solve(a, b, isa);
        expect(other.ok() && same_bits(other.value(), ref.value()),
               "solve bits " + std::string(isa_name(isa)) + " n=" + std::to_string(n));
        Result<Array64> x = inv(a, isa);
        Result<Array64> y = inv(a, Isa::generic);
        expect(x.ok() && y.ok() && same_bits(x.value(), y.value()), "inv bits n=" + std::to_string(n));
        Result<f64> d1 = det(a, isa), d2 = det(a, Isa::generic);
        expect(d1.ok() && d2.ok() && std::memcmp(&d1.value(), &d2.value(), 8) == 0, "det bits");
    }
    f64 res = 0.0;
    const Array64& x = ref.value();
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < k; ++j) {
            f64 s = -b.data[i * k + j];
            for (u64 t = 0; t < n; ++t) s += a.data[i * n + t] * x.data[t * k + j];
            res = std::max(res, std::fabs(s));
        }
    expect(res < 1e-9 * f64(n + 1), "solve residual n=" + std::to_string(n) + " " + std::to_string(res));
    Result<Array64> ai = inv(a, Isa::generic);
    f64 ires = 0.0;
    for (u64 i = 0; i < n; ++i)
        for (u64 j = 0; j < n; ++j) {
            f64 s = i == j ? -1.0 : 0.0;
            for (u64 t = 0; t < n; ++t) s += a.data[i * n + t] * ai.value().data[t * n + j];
            ires = std::max(ires, std::fabs(s));
        }
    expect(ires < 1e-9 * f64(n + 1), "inv residual n=" + std::to_string(n) + " " + std::to_string(ires));
}

void check_lstsq(std::mt19937_64& rng, u64 m, u64 n, u64 k) {
    const Array64 a = random_matrix(rng, m, n);
    const Array64 b = random_matrix(rng, m, k);
    Result<Array64> ref = lstsq(a, b, Isa::generic);
    expect(ref.ok(), "lstsq ok");
    if (!ref) return;
    for (Isa isa : isas()) {
        Result<Array64> other = lstsq(a, b, isa);
        expect(other.ok() && same_bits(other.value(), ref.value()), "lstsq bits");
    }
    // Normal equations: aᵀ·(a·x − b) = 0.
    const Array64& x = ref.value();
    std::vector<f64> r(m * k);
    for (u64 i = 0; i < m; ++i)
        for (u64 j = 0; j < k; ++j) {
            f64 s = -b.data[i * k + j];
            for (u64 t = 0; t < n; ++t) s += a.data[i * n + t] * x.data[t * k + j];
            r[i * k + j] = s;
        }
    f64 worst = 0.0;
    for (u64 t = 0; t < n; ++t)
        for (u64 j = 0; j < k; ++j) {
            f64 s = 0.0;
            for (u64 i = 0; i < m; ++i) s += a.data[i * n + t] * r[i * k + j];
            worst = std::max(worst, std::fabs(s));
        }
    expect(worst < 1e-9 * f64(m + 1), "lstsq normal equations " + std::to_string(worst));
}

template <class F>
double best_of(int reps, F&& f) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

void bench() {
    std::mt19937_64 rng(7);
    for (u64 n : {200, 500}) {
        const Array64 a = random_matrix(rng, n, n, true);
        std::printf("eigh %llu: %.4f s\n", (unsigned long long)n, best_of(3, [&] { (void)eigh(a); }));
        std::printf("eigvalsh %llu: %.4f s\n", (unsigned long long)n, best_of(3, [&] { (void)eigvalsh(a); }));
    }
    const Array64 a = random_matrix(rng, 500, 500);
    const Array64 b1 = random_matrix(rng, 500, 1);
    const Array64 b500 = random_matrix(rng, 500, 500);
    std::printf("solve 500x1: %.4f s\n", best_of(3, [&] { (void)solve(a, b1); }));
    std::printf("solve 500x500: %.4f s\n", best_of(3, [&] { (void)solve(a, b500); }));
    std::printf("inv 500: %.4f s\n", best_of(3, [&] { (void)inv(a); }));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--bench") {
        bench();
        return 0;
    }
    std::mt19937_64 rng(20261208);
    for (u64 n : {0, 1, 2, 3, 4, 7, 16, 33, 45, 70, 92, 130, 231}) check_eigh(rng, n);
    check_divide_and_conquer(rng);
    for (u64 n : {0, 1, 2, 5, 63, 64, 65, 150})
        for (u64 k : {1, 3, 70}) check_solve(rng, n, k);
    for (u64 m : {1, 5, 40, 90})
        for (u64 n : {1, 5, 40})
            if (n <= m) check_lstsq(rng, m, n, 3);
    // Several column panels, a last panel of one column, and a single right-hand side.
    for (u64 n : {33, 64, 70}) check_lstsq(rng, 150, n, n == 70 ? 1 : 3);
    std::printf("%s (%d failures)\n", failures ? "FAILED" : "ok", failures);
    return failures ? 1 : 0;
}
