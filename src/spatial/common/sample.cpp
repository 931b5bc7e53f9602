#include "spatial/common/sample.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "array/error.hpp"
#include "spatial/common/kernels.hpp"
#include "spatial/common/tree.hpp"

namespace veltrix {

bool kernel_samplable(KernelType kernel, DistanceMetric metric) noexcept {
    return kernel == KernelType::Gaussian || kernel == KernelType::Uniform || metric == DistanceMetric::Euclidean;
}

namespace {

// The input row of each draw u in [0, 1).
std::vector<u64> chosen_rows(const NdArray<f64>& u, u64 n_points, const f64* by_row) {
    const u64 n = u.data.size();
    std::vector<u64> rows(n);
    if (!by_row) {
        const f64 count = static_cast<f64>(n_points);
        for (u64 i = 0; i < n; ++i) rows[i] = std::min(static_cast<u64>(u.data[i] * count), n_points - 1);
        return rows;
    }
    std::vector<f64> running(n_points);
    f64 s = 0.0;
    u64 last = 0;  // the last row of positive weight, for a product that rounds up to the total
    for (u64 r = 0; r < n_points; ++r) {
        s = s + by_row[r];
        running[r] = s;
        if (by_row[r] > 0.0) last = r;
    }
    for (u64 i = 0; i < n; ++i) {
        const f64 target = u.data[i] * s;
        const u64 r = static_cast<u64>(std::upper_bound(running.begin(), running.end(), target) - running.begin());
        rows[i] = std::min(r, last);
    }
    return rows;
}

}  // namespace

namespace {

void draw_rows(const TreeData& t, Generator& g, u64 n, KernelType kernel, f64 h, const f64* by_row, f64* out) {
    if (t.n_points == 0 || !kernel_samplable(kernel, t.metric)) VELTRIX_FAIL("sample: unsupported tree or kernel");
    const u64 d = t.dim;
    const std::vector<u64> rows = chosen_rows(g.uniform(0.0, 1.0, Shape::d1(n)), t.n_points, by_row);
    std::vector<u64> pos(t.n_points);
    for (u64 p = 0; p < t.n_points; ++p) pos[t.indices[p]] = p;
    for (u64 i = 0; i < n; ++i) std::copy_n(t.point(pos[rows[i]]), d, out + i * d);
    if (d == 0) return;

    // offset(i, j) is coordinate j of row i's offset before the bandwidth.
    const auto shift = [&](auto offset) {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < d; ++j) out[i * d + j] = out[i * d + j] + offset(i, j) * h;
    };
    if (kernel == KernelType::Gaussian) {
        const NdArray<f64> z = g.standard_normal(Shape::d2(n, d));
        shift([&](u64 i, u64 j) { return z.data[i * d + j]; });
        return;
    }
    if (kernel == KernelType::Uniform && t.metric == DistanceMetric::Chebyshev) {
        const NdArray<f64> v = g.uniform(-1.0, 1.0, Shape::d2(n, d));
        shift([&](u64 i, u64 j) { return v.data[i * d + j]; });
        return;
    }
    if (kernel == KernelType::Uniform && t.metric == DistanceMetric::Manhattan) {
        // Spacings of d sorted uniforms are uniform on the simplex; signs make it the cross-polytope.
        NdArray<f64> v = g.uniform(0.0, 1.0, Shape::d2(n, 2 * d));
        std::vector<f64> cut(d);
        for (u64 i = 0; i < n; ++i) {
            const f64* row = v.data.data() + i * 2 * d;
            std::copy_n(row, d, cut.begin());
            std::sort(cut.begin(), cut.end());
            f64 prev = 0.0;
            for (u64 j = 0; j < d; ++j) {
                const f64 a = cut[j] - prev;
                prev = cut[j];
                out[i * d + j] = out[i * d + j] + (row[d + j] < 0.5 ? -a : a) * h;
            }
        }
        return;
    }
    // A radius from the kernel's radial law along a uniform direction.
    const RadialLaw law = kernel_shape(kernel).radial;
    const NdArray<f64> z = g.standard_normal(Shape::d2(n, d));
    const NdArray<f64> b = g.beta(law.a_per_dim * static_cast<f64>(d), law.b, Shape::d1(n));
    for (u64 i = 0; i < n; ++i) {
        const f64* zi = z.data.data() + i * d;
        f64 sq = 0.0;
        for (u64 j = 0; j < d; ++j) sq = zi[j] * zi[j] + sq;
        const f64 norm = std::sqrt(sq);
        const f64 r = law.power == 1.0 ? b.data[i] : std::sqrt(b.data[i]);
        const f64 scale = (r / norm) * h;
        for (u64 j = 0; j < d; ++j) out[i * d + j] = out[i * d + j] + zi[j] * scale;
    }
}

}  // namespace

void sample_density(const TreeData& t, Generator& g, u64 n, KernelType kernel, f64 h, const f64* by_row, f64* out) {
    draw_rows(t, g, n, kernel, h, by_row, out);
    if (t.periodic()) t.wrap_rows(out, n);
}

}  // namespace veltrix
