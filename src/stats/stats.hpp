// Whole-array statistics: reductions, order statistics and correlation.
//
// Every floating-point sum is one accumulator added in buffer order, so the
// results are reproducible to the last bit.
#pragma once

#include <limits>
#include <vector>

#include "array/ndarray.hpp"
#include "ops/isa.hpp"

namespace veltrix::stats {

// What a statistic of no values (or of a NaN) is.
inline constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

// Reductions over the flat buffer; they never fail.
f64 sum(const Array64& a);
f64 mean(const Array64& a);
f64 var(const Array64& a);
f64 std(const Array64& a);
bool all(const Array64& a);
bool any(const Array64& a);

// Extremes over all elements, as NumPy: a NaN makes min/max NaN and argmin/argmax
// the first NaN's flat position; otherwise argmin/argmax give the first extreme
// position, and min/max the element there (so of 0.0 and -0.0 the first one). An
// empty array has no extreme.
Result<f64> min(const Array64& a);
Result<f64> max(const Array64& a);
Result<u64> argmin(const Array64& a);
Result<u64> argmax(const Array64& a);

// The kernel behind the four: flat position of the first NaN, else of the first smallest
// (or largest) element of x[0..n), n >= 1, on instruction set `isa` (which must run here).
std::size_t extreme_index(const f64* x, std::size_t n, bool smallest, Isa isa);

// Order statistics of the stable ascending order. A NaN element makes every
// result NaN; an empty array gives NaN. A probability outside [0, 1] (or NaN)
// is an internal error, checked before anything else.
f64 median(const Array64& a);
f64 quantile(const Array64& a, f64 q);
Array64 quantiles(const Array64& a, const Storage<f64>& qs);

// Correlation of vectors. Length and dimension preconditions are internal errors.
f64 pearson(const Array64& a, const Array64& b);
// 1-based ranks, ties averaged; all NaN when the vector holds a NaN.
Array64 ranks(const Array64& a);
f64 spearman(const Array64& a, const Array64& b);

}  // namespace veltrix::stats
