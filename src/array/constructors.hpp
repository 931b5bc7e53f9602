// Filled constructors of NdArray<f64>.
#pragma once

#include <optional>
#include <vector>

#include "array/ndarray.hpp"

namespace veltrix {

Array64 ones(Shape shape);
Array64 full(Shape shape, f64 value);
// The n x m matrix (m defaults to n) with 1.0 on diagonal k.
Array64 eye(u64 n, std::optional<u64> m, i64 k);
// Columns of one- and two-dimensional arrays side by side.
Array64 column_stack(const std::vector<Array64>& arrays);

// The same elements in row-major order under a new shape. One entry may be -1,
// the length that makes the element counts agree.
Result<Array64> reshape(const Array64& a, const std::vector<i64>& dims);

// The array with its axes in reverse order: the matrix transpose for rank 2, a copy below.
Array64 reverse_axes(const Array64& a);

}  // namespace veltrix
