// Draws from a kernel density estimate: a stored point, then an offset from the kernel.
#pragma once

#include "array/ndarray.hpp"
#include "random/generator.hpp"
#include "spatial/common/metric.hpp"

namespace veltrix {

struct TreeData;

// Whether offsets of `kernel` can be drawn under `metric`: the gaussian and the uniform
// kernel under every metric, the epanechnikov and triangular ones under the euclidean only.
bool kernel_samplable(KernelType kernel, DistanceMetric metric) noexcept;

// n rows of t.dim coordinates into out (row-major), drawn from the estimate with bandwidth h
// and weights by_row (null: equal). The generator advances by exactly these calls, in order:
//   1. uniform(0, 1, [n]): row i takes input row floor(u_i * N) (at most N - 1), or with
//      weights the first row whose running weight sum (in row order) exceeds u_i * W;
//   2. nothing more in dimension 0; otherwise the offsets, scaled by h:
//      gaussian                  standard_normal([n, d]), the offset itself;
//      uniform, chebyshev        uniform(-1, 1, [n, d]), the offset itself;
//      uniform, manhattan        uniform(0, 1, [n, 2d]): the sorted first d of a row cut [0, 1]
//                                into spacings, whose first d are the offset's magnitudes,
//                                negative where the row's value d + j is below 0.5;
//      other, euclidean          standard_normal([n, d]) for the direction z / |z|, then
//                                beta(a d, b, [n]) for the radius beta^p (kernel_shape).
// A periodic tree's rows are then wrapped into its box. Needs n_points > 0, a positive total weight and kernel_samplable.
void sample_density(const TreeData& t, Generator& g, u64 n, KernelType kernel, f64 h, const f64* by_row, f64* out);

}  // namespace veltrix
