#include "spatial/common/sample.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "array/cancel.hpp"
#include "array/error.hpp"
#include "spatial/common/kernels.hpp"
#include "spatial/common/tree.hpp"

namespace veltrix {

bool kernel_samplable(KernelType kernel, DistanceMetric metric) noexcept {
    return kernel == KernelType::Gaussian || kernel == KernelType::Uniform || metric == DistanceMetric::Euclidean;
}

namespace {

// Rows between looks for a stop in the per-row loops: milliseconds of work at most.
constexpr u64 poll_rows = u64{1} << 16;
void poll(u64 i) {
    if (i % poll_rows == 0) cancel::check();
}

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
        poll(i);
        const f64 target = u.data[i] * s;
        const u64 r = static_cast<u64>(std::upper_bound(running.begin(), running.end(), target) - running.begin());
        rows[i] = std::min(r, last);
    }
    return rows;
}

}  // namespace

namespace {

// n points uniform in the unit ball of the Chebyshev (the cube) or Manhattan (the
// cross-polytope) metric, row after row.
std::vector<f64> unit_ball_points(Generator& g, DistanceMetric metric, u64 n, u64 d) {
    std::vector<f64> out(n * d);
    if (metric == DistanceMetric::Chebyshev) {
        const NdArray<f64> v = g.uniform(-1.0, 1.0, Shape::d2(n, d));
        std::copy(v.data.begin(), v.data.end(), out.begin());
        return out;
    }
    // Spacings of d sorted uniforms are uniform on the simplex; signs make it the cross-polytope.
    const NdArray<f64> v = g.uniform(0.0, 1.0, Shape::d2(n, 2 * d));
    std::vector<f64> cut(d);
    for (u64 i = 0; i < n; ++i) {
        poll(i);
        const f64* row = v.data.data() + i * 2 * d;
        std::copy_n(row, d, cut.begin());
        std::sort(cut.begin(), cut.end());
        f64 prev = 0.0;
        for (u64 j = 0; j < d; ++j) {
            const f64 a = cut[j] - prev;
            prev = cut[j];
            out[i * d + j] = row[d + j] < 0.5 ? -a : a;
        }
    }
    return out;
}

void draw_rows(const TreeData& t, Generator& g, u64 n, KernelType kernel, f64 h, const f64* by_row, f64* out) {
    if (t.n_points == 0 || !kernel_samplable(kernel, t.metric)) VELTRIX_FAIL("sample: unsupported tree or kernel");
    const u64 d = t.dim;
    const std::vector<u64> rows = chosen_rows(g.uniform(0.0, 1.0, Shape::d1(n)), t.n_points, by_row);
    std::vector<u64> pos(t.n_points);
    for (u64 p = 0; p < t.n_points; ++p) pos[t.indices[p]] = p;
    for (u64 i = 0; i < n; ++i) {
        poll(i);
        std::copy_n(t.point(pos[rows[i]]), d, out + i * d);
    }
    if (d == 0) return;

    // offset(i, j) is coordinate j of row i's offset before the bandwidth.
    const auto shift = [&](auto offset) {
        for (u64 i = 0; i < n; ++i)
            for (u64 j = 0; j < d; ++j) out[i * d + j] = out[i * d + j] + offset(i, j) * h;
    };
    if (kernel == KernelType::Gaussian && t.metric == DistanceMetric::Euclidean) {
        const NdArray<f64> z = g.standard_normal(Shape::d2(n, d));
        shift([&](u64 i, u64 j) { return z.data[i * d + j]; });
        return;
    }
    if (kernel == KernelType::Gaussian) {
        // The kernel is radial in the tree's metric: a radius with density r^(d-1)·exp(-r²/2)
        // (the Euclidean length of d standard normals) along a direction uniform in cone
        // measure on the metric's unit sphere (a point of its unit ball over its metric norm).
        const NdArray<f64> z = g.standard_normal(Shape::d2(n, d));
        const std::vector<f64> ball = unit_ball_points(g, t.metric, n, d);
        for (u64 i = 0; i < n; ++i) {
            poll(i);
            const f64* zi = z.data.data() + i * d;
            const f64* bi = ball.data() + i * d;
            f64 sq = 0.0, norm = 0.0;
            for (u64 j = 0; j < d; ++j) sq = zi[j] * zi[j] + sq;
            for (u64 j = 0; j < d; ++j)
                norm = t.metric == DistanceMetric::Manhattan ? norm + std::fabs(bi[j])
                                                             : std::max(norm, std::fabs(bi[j]));
            // A ball point at the origin has probability zero; it leaves the row unshifted.
            const f64 scale = norm > 0.0 ? (std::sqrt(sq) / norm) * h : 0.0;
            for (u64 j = 0; j < d; ++j) out[i * d + j] = out[i * d + j] + bi[j] * scale;
        }
        return;
    }
    if (kernel == KernelType::Uniform && t.metric != DistanceMetric::Euclidean) {
        const std::vector<f64> ball = unit_ball_points(g, t.metric, n, d);
        shift([&](u64 i, u64 j) { return ball[i * d + j]; });
        return;
    }
    // A radius from the kernel's radial law along a uniform direction.
    const RadialLaw law = kernel_shape(kernel).radial;
    const NdArray<f64> z = g.standard_normal(Shape::d2(n, d));
    const NdArray<f64> b = g.beta(law.a_per_dim * static_cast<f64>(d), law.b, Shape::d1(n));
    for (u64 i = 0; i < n; ++i) {
        poll(i);
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
