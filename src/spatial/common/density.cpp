#include "spatial/common/density.hpp"

#include <cfloat>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "spatial/common/kernels.hpp"
#include "spatial/common/parallel.hpp"
#include "spatial/common/tree.hpp"

namespace veltrix {

namespace {

constexpr f64 minus_inf = -std::numeric_limits<f64>::infinity();

// Position of each input row.
std::vector<u64> positions_of_rows(const TreeData& t) {
    std::vector<u64> pos(t.n_points);
    for (u64 p = 0; p < t.n_points; ++p) pos[t.indices[p]] = p;
    return pos;
}

// log of the sum over points of w * exp(-u^2 / 2), u = d(q, x) / h, in position order: the
// largest exponent first, then the sum of the exponentials relative to it.
template <class M>
f64 gaussian_log_sum(const M& metric, const TreeData& t, const f64* q, f64 h, const f64* w) {
    const auto exponent = [&](u64 p) {
        const f64 u = metric.distance(t.point(p), q, t.dim) / h;
        return (u * -0.5) * u;
    };
    f64 top = minus_inf;
    for (u64 p = 0; p < t.n_points; ++p) {
        if (w && !(w[p] > 0.0)) continue;
        const f64 e = exponent(p);
        if (e > top) top = e;
    }
    if (top == minus_inf) return minus_inf;
    f64 s = 0.0;
    for (u64 p = 0; p < t.n_points; ++p) {
        if (w && !(w[p] > 0.0)) continue;
        const f64 term = std::exp(exponent(p) - top);
        s = w ? s + w[p] * term : s + term;
    }
    return top + std::log(s);
}

}  // namespace

f64 total_weight(const f64* by_row, u64 n) noexcept {
    f64 s = 0.0;
    for (u64 i = 0; i < n; ++i) s = s + by_row[i];
    return s;
}

void finish_densities(const TreeData& t, const f64* x, u64 m, KernelType kernel, f64 h,
                      const DensityWeights* weights, const DensityScale& scale, f64* out, u64 threads) {
    if (!scale.normalize && !scale.log) return;
    const f64 d = static_cast<f64>(t.dim);
    f64 norm = 1.0, log_norm = 0.0;
    if (scale.normalize) {
        norm = (scale.total_weight * std::pow(h, d)) * kernel_norm(kernel, t.metric, t.dim);
        log_norm = (std::log(scale.total_weight) + d * std::log(h)) + kernel_log_norm(kernel, t.metric, t.dim);
    }
    const bool gaussian = kernel == KernelType::Gaussian;
    std::vector<u64> pos;  // stored points as queries: where each row's point is
    if (scale.log && gaussian && !x) pos = positions_of_rows(t);
    const f64* w = weights ? weights->by_position.data() : nullptr;
    with_metric(t.metric, t.box_or_null(), [&](const auto& metric) {
        for_each_block(m, threads, [&](u64, u64 begin, u64 end) {
            std::vector<f64> row(t.dim);
            for (u64 i = begin; i < end; ++i) {
                const f64 sum = out[i];
                const f64 v = scale.normalize ? sum / norm : sum;
                if (!scale.log) {
                    out[i] = v;
                } else if (v >= DBL_MIN && v <= DBL_MAX) {
                    out[i] = std::log(v);
                } else if (gaussian && sum < DBL_MIN) {
                    const f64* q = t.point(pos.empty() ? 0 : pos[i]);
                    if (x) {
                        // A periodic tree measures from the query wrapped into its box.
                        std::copy_n(x + i * t.dim, t.dim, row.begin());
                        if (t.periodic()) t.wrap_rows(row.data(), 1);
                        q = row.data();
                    }
                    out[i] = gaussian_log_sum(metric, t, q, h, w) - log_norm;
                } else {
                    // A normal sum whose normalised value left the normal range, or a bounded
                    // kernel's zero (log -inf).
                    out[i] = sum > 0.0 ? std::log(sum) - log_norm : minus_inf;
                }
            }
        });
    });
}

std::optional<BandwidthRule> bandwidth_rule_from_name(std::string_view lowered) noexcept {
    if (lowered == "scott") return BandwidthRule::Scott;
    if (lowered == "silverman") return BandwidthRule::Silverman;
    return std::nullopt;
}

f64 rule_bandwidth(const TreeData& t, BandwidthRule rule, const f64* by_row) {
    const u64 n = t.n_points, dim = t.dim;
    const std::vector<u64> pos = positions_of_rows(t);
    const auto x = [&](u64 row) { return t.point(pos[row]); };
    f64 sw = 0.0, sw2 = 0.0;
    for (u64 i = 0; i < n; ++i) {
        const f64 w = by_row ? by_row[i] : 1.0;
        sw = sw + w;
        sw2 = sw2 + w * w;
    }
    // numpy.cov's divisor: n - 1, or sum(w) - sum(w^2) / sum(w) with weights.
    const f64 divisor = by_row ? sw - sw2 / sw : static_cast<f64>(n) - 1.0;
    f64 variances = 0.0;
    for (u64 j = 0; j < dim; ++j) {
        f64 mean = 0.0;
        for (u64 i = 0; i < n; ++i) mean = by_row ? mean + by_row[i] * x(i)[j] : mean + x(i)[j];
        mean = mean / sw;
        f64 ss = 0.0;
        for (u64 i = 0; i < n; ++i) {
            const f64 dev = x(i)[j] - mean;
            ss = by_row ? ss + by_row[i] * (dev * dev) : ss + dev * dev;
        }
        variances = variances + ss / divisor;
    }
    const f64 s = std::sqrt(variances / static_cast<f64>(dim));
    const f64 n_eff = (sw * sw) / sw2;
    const f64 exponent = -1.0 / (static_cast<f64>(dim) + 4.0);
    const f64 base = rule == BandwidthRule::Scott ? n_eff : n_eff * (static_cast<f64>(dim) + 2.0) / 4.0;
    return s * std::pow(base, exponent);
}

}  // namespace veltrix
