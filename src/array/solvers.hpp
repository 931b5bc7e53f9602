// Reproducible dense solvers: the symmetric eigen-decomposition, LU-based solve, inverse and
// determinant, and least squares through Householder QR.
//
// Every routine uses only +, −, ×, ÷ and sqrt (plus exact power-of-two scaling) in a fixed
// order, with no contraction into FMA and no threads, so its results are the same bits on
// every IEEE-754 machine. The matrix-product kernels they lean on keep that order for every
// instruction set; `isa` only picks which of those variants runs.
//
// Input that the caller may pass (wrong shapes, non-finite entries, singular or rank-deficient
// matrices) comes back as an orderly failure whose message names the routine and argument.
#pragma once

#include "array/error.hpp"
#include "array/ndarray.hpp"
#include "ops/isa.hpp"

namespace veltrix {

struct EighResult {
    Array64 values;   // [n], ascending
    Array64 vectors;  // n×n, column j belongs to values[j]
};

// Symmetric eigen-decomposition reading only the lower triangle of `a`: Householder
// tridiagonalisation, then the implicit QL iteration with Wilkinson shifts for the values and
// vectors up to a size, divide and conquer on the tridiagonal matrix from there on.
// Each column of vectors has its entry of largest magnitude (the first of equals) positive.
Result<EighResult> eigh(const Array64& a, Isa isa = best_isa());

namespace detail {
// eigh and eigvalsh with divide and conquer from n = dc_from on (at least 33), for checks at
// small sizes.
Result<EighResult> eigh_from(const Array64& a, u64 dc_from, Isa isa);
Result<Array64> eigvalsh_from(const Array64& a, u64 dc_from, Isa isa);
}  // namespace detail

// The values of eigh, bit for bit, without forming the vectors.
Result<Array64> eigvalsh(const Array64& a, Isa isa = best_isa());

// x with a·x = b, by LU with partial pivoting (the lowest row wins a tie); b is a vector of
// n entries or an n×k matrix of right-hand sides, and x has b's shape.
Result<Array64> solve(const Array64& a, const Array64& b, Isa isa = best_isa());

// The inverse from the same LU: U⁻¹·L⁻¹·P, with the triangular L⁻¹ formed explicitly.
Result<Array64> inv(const Array64& a, Isa isa = best_isa());

// The product of the LU pivots with the permutation's sign; 0.0 for an exactly singular a.
Result<f64> det(const Array64& a, Isa isa = best_isa());

// The x minimising ‖a·x − b‖ for a tall or square a of full column rank, by Householder QR.
Result<Array64> lstsq(const Array64& a, const Array64& b, Isa isa = best_isa());

}  // namespace veltrix
