#include "spatial/common/metric.hpp"

namespace veltrix {

std::optional<DistanceMetric> metric_from_name(std::string_view s) noexcept {
    if (s == "euclidean") return DistanceMetric::Euclidean;
    if (s == "manhattan") return DistanceMetric::Manhattan;
    if (s == "chebyshev") return DistanceMetric::Chebyshev;
    return std::nullopt;
}

std::optional<KernelType> kernel_from_name(std::string_view s) noexcept {
    if (s == "gaussian") return KernelType::Gaussian;
    if (s == "epanechnikov") return KernelType::Epanechnikov;
    if (s == "uniform") return KernelType::Uniform;
    if (s == "triangular") return KernelType::Triangular;
    return std::nullopt;
}

f64 compute_distance(DistanceMetric metric, const f64* a, const f64* b, u64 n) noexcept {
    return with_metric(metric, [&]<class M>(const M& m) { return m.distance(a, b, n); });
}

f64 kernel_value(KernelType kernel, f64 u) noexcept {
    return with_kernel(kernel, [&]<class K>() { return K::value(u); });
}

}  // namespace veltrix

#include "spatial/common/approx.hpp"

namespace veltrix {

std::optional<ApproxCriterion::Kind> criterion_from_name(std::string_view s) noexcept {
    using K = ApproxCriterion::Kind;
    if (s == "none") return K::None;
    if (s == "min_samples") return K::MinSamples;
    if (s == "max_span") return K::MaxSpan;
    if (s == "combined") return K::Combined;
    return std::nullopt;
}

}  // namespace veltrix
