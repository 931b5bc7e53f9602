#include "spatial/common/kernels.hpp"

#include <cfloat>
#include <cmath>
#include <numbers>

namespace veltrix {

namespace {

// m_d written so that d = 0 gives K(0): d * Gamma(d/2) 2^(d/2 - 1) = Gamma(d/2 + 1) 2^(d/2).
f64 gaussian_mass(f64 d) noexcept { return std::tgamma(d * 0.5 + 1.0) * std::pow(2.0, d * 0.5); }
f64 epanechnikov_mass(f64 d) noexcept { return 1.5 / (d + 2.0); }
f64 uniform_mass(f64) noexcept { return 0.5; }
f64 triangular_mass(f64 d) noexcept { return 1.0 / (d + 1.0); }

f64 log_gaussian_mass(f64 d) noexcept { return d * 0.5 * std::numbers::ln2 + std::lgamma(d * 0.5 + 1.0); }
f64 log_epanechnikov_mass(f64 d) noexcept { return std::log(epanechnikov_mass(d)); }
f64 log_uniform_mass(f64 d) noexcept { return std::log(uniform_mass(d)); }
f64 log_triangular_mass(f64 d) noexcept { return -std::log(d + 1.0); }

// Radial laws: r^(d-1) (1 - r^2) is the square root of Beta(d/2, 2); r^(d-1) is Beta(d, 1);
// r^(d-1) (1 - r) is Beta(d, 2).
constexpr KernelShape shapes[] = {
    {gaussian_mass, log_gaussian_mass, {0.0, 0.0, 0.0}},
    {epanechnikov_mass, log_epanechnikov_mass, {0.5, 2.0, 0.5}},
    {uniform_mass, log_uniform_mass, {1.0, 1.0, 1.0}},
    {triangular_mass, log_triangular_mass, {1.0, 2.0, 1.0}},
};

}  // namespace

const KernelShape& kernel_shape(KernelType kernel) noexcept { return shapes[static_cast<unsigned>(kernel)]; }

f64 unit_ball_volume(DistanceMetric metric, u64 dim) noexcept {
    const f64 d = static_cast<f64>(dim);
    switch (metric) {
        case DistanceMetric::Manhattan: return std::pow(2.0, d) / std::tgamma(d + 1.0);  // 2^d / d!
        case DistanceMetric::Chebyshev: return std::pow(2.0, d);                          // 2^d
        case DistanceMetric::Euclidean: break;
    }
    return std::pow(std::numbers::pi, d * 0.5) / std::tgamma(d * 0.5 + 1.0);  // pi^(d/2) / Gamma(d/2 + 1)
}

f64 log_unit_ball_volume(DistanceMetric metric, u64 dim) noexcept {
    const f64 d = static_cast<f64>(dim);
    switch (metric) {
        case DistanceMetric::Manhattan: return d * std::numbers::ln2 - std::lgamma(d + 1.0);
        case DistanceMetric::Chebyshev: return d * std::numbers::ln2;
        case DistanceMetric::Euclidean: break;
    }
    return d * 0.5 * std::log(std::numbers::pi) - std::lgamma(d * 0.5 + 1.0);
}

f64 kernel_norm(KernelType kernel, DistanceMetric metric, u64 dim) noexcept {
    // The gaussian under the euclidean metric in closed form, free of the gamma functions.
    if (kernel == KernelType::Gaussian && metric == DistanceMetric::Euclidean)
        return std::pow(2.0 * std::numbers::pi, static_cast<f64>(dim) * 0.5);
    const f64 c = unit_ball_volume(metric, dim) * kernel_shape(kernel).radial_mass(static_cast<f64>(dim));
    if (std::isfinite(c) && c > 0.0) return c;
    // A factor overflowed (high dimensions): the product through the logarithms.
    return std::exp(log_unit_ball_volume(metric, dim) + kernel_shape(kernel).log_radial_mass(static_cast<f64>(dim)));
}

f64 kernel_log_norm(KernelType kernel, DistanceMetric metric, u64 dim) noexcept {
    // The value's own logarithm while it is a normal number (so both agree), else summed logs.
    const f64 c = kernel_norm(kernel, metric, dim);
    if (std::isfinite(c) && c >= DBL_MIN) return std::log(c);
    return log_unit_ball_volume(metric, dim) + kernel_shape(kernel).log_radial_mass(static_cast<f64>(dim));
}

}  // namespace veltrix
