// Kernel shapes as data. Every kernel is radial, K(u) with u = |x| / h in the tree's metric, so
// two numbers per kernel say all that normalisation and sampling need:
//   - its radial mass m_d = d * integral of K(r) r^(d-1) dr over r >= 0, so that the integral
//     of K over d-dimensional space is c = V_d * m_d, V_d the volume of the metric's unit ball;
//   - its radial law for sampling: the density of |x| is proportional to r^(d-1) K(r), which
//     for the bounded kernels is a power of a beta variate.
#pragma once

#include "array/ndarray.hpp"
#include "spatial/common/metric.hpp"

namespace veltrix {

// r = Beta(a_per_dim * d, b)^power has density proportional to r^(d-1) K(r) on [0, 1).
struct RadialLaw {
    f64 a_per_dim, b, power;
};

struct KernelShape {
    f64 (*radial_mass)(f64 d);
    f64 (*log_radial_mass)(f64 d);  // the same where the value itself would overflow
    RadialLaw radial;  // unused for the gaussian, whose offsets are standard normals
};

const KernelShape& kernel_shape(KernelType kernel) noexcept;

// The volume of the unit ball of `metric` in `dim` dimensions (1 for dim 0), and its logarithm.
f64 unit_ball_volume(DistanceMetric metric, u64 dim) noexcept;
f64 log_unit_ball_volume(DistanceMetric metric, u64 dim) noexcept;

// log c and c: the integral of K(|x|) over `dim`-dimensional space under `metric`. In dimension
// 0 the space is one point and c = K(0).
f64 kernel_log_norm(KernelType kernel, DistanceMetric metric, u64 dim) noexcept;
f64 kernel_norm(KernelType kernel, DistanceMetric metric, u64 dim) noexcept;

}  // namespace veltrix
