// What a density call adds around the tree's sums: normalisation to a probability density,
// natural logarithms that survive the gaussian's underflow, and the bandwidth rules.
#pragma once

#include <optional>
#include <string_view>

#include "array/ndarray.hpp"
#include "spatial/common/metric.hpp"
#include "spatial/common/result_set.hpp"

namespace veltrix {

struct TreeData;

// How the sums of density_batch become the results.
struct DensityScale {
    bool normalize = false;
    bool log = false;
    f64 total_weight = 0.0;  // the point count, or the weights' sum; > 0 when normalising
};

// The sum of weights by_row[0, n) in row order.
f64 total_weight(const f64* by_row, u64 n) noexcept;

// Rewrites the sums out[0, m) of density_batch (same x, kernel, h and weights) as `scale`
// asks: divided by total_weight * h^dim * c (c = kernel_norm) when normalising, then their
// natural logarithm when `log`. A logarithm is that of the value itself where the value is a
// normal number; a gaussian sum below the smallest normal number (every term underflowed or
// was dropped as negligible) is recomputed as a log-sum-exp over every point of positive
// weight instead, so it stays finite. Rows are independent, split over `threads` threads.
void finish_densities(const TreeData& t, const f64* x, u64 m, KernelType kernel, f64 h,
                      const DensityWeights* weights, const DensityScale& scale, f64* out, u64 threads);

enum class BandwidthRule : unsigned char { Scott, Silverman };

// Matched against text the caller has already lower-cased.
std::optional<BandwidthRule> bandwidth_rule_from_name(std::string_view lowered) noexcept;

// h = s * n_eff^(-1/(d+4)) (Scott) or s * (n_eff (d+2) / 4)^(-1/(d+4)) (Silverman), s the
// square root of the mean over coordinates of the sample variances (ddof 1; weighted: the
// unbiased weighted variance, over sum(w) - sum(w^2)/sum(w)) and n_eff = sum(w)^2 / sum(w^2)
// (n without weights). Sums run in input-row order. Not a positive finite number when the
// points have no spread or too few of them count.
f64 rule_bandwidth(const TreeData& t, BandwidthRule rule, const f64* by_row);

}  // namespace veltrix
