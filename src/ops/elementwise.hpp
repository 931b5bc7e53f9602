// Element-wise arithmetic with broadcasting, and the element-wise transforms.
//
// Every element is computed by one IEEE operation (or one C library call) of its own,
// independently of its neighbours, so the loops are free to be vectorised without
// changing any result.
#pragma once

#include <bit>
#include <cmath>

#include "array/ndarray.hpp"

namespace veltrix {

enum class BinaryOp { add, subtract, multiply, divide };

// a op b over the broadcast shape of a and b; the element of a is always the left operand.
// Incompatible shapes are an internal error.
Array64 binary_op_copy(const Array64& a, const Array64& b, BinaryOp op);
// a[i] op s, keeping a's shape.
Array64 scalar_op_copy(const Array64& a, f64 s, BinaryOp op);
// s op a[i], keeping a's shape.
Array64 scalar_left_op_copy(f64 s, const Array64& a, BinaryOp op);

enum class Transform { negate, abs, exp, log, sqrt, sin, cos, tan, arcsin, arccos, arctan, sign };

Array64 transform(const Array64& a, Transform t);
// lo if lo > x, else hi if x > hi, else x. The bounds are not compared with each other.
Array64 clip(const Array64& a, f64 lo, f64 hi);

namespace elem {

inline constexpr u64 sign_bit = u64{1} << 63;

inline f64 negate(f64 x) noexcept { return std::bit_cast<f64>(std::bit_cast<u64>(x) ^ sign_bit); }
inline f64 abs(f64 x) noexcept { return std::bit_cast<f64>(std::bit_cast<u64>(x) & ~sign_bit); }
// Both zeros and NaN give +0.0.
inline f64 sign(f64 x) noexcept { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0); }
// A NaN bound never takes effect: every comparison with it is false.
inline f64 clip(f64 x, f64 lo, f64 hi) noexcept { return lo > x ? lo : (x > hi ? hi : x); }

}  // namespace elem

}  // namespace veltrix
