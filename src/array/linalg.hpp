// Matrix products, transposition, diagonals, Cholesky and QR factorisation and the
// eigen-decomposition by unshifted QR iteration.
//
// Products and diagonals assert their preconditions (InternalError); the
// factorisations return an orderly failure for input the caller may pass.
#pragma once

#include <cstdint>

#include "array/error.hpp"
#include "array/ndarray.hpp"

namespace veltrix {

// Vector·vector gives shape [1]; vector·matrix, matrix·vector and matrix·matrix the
// usual shapes. Every element is one sum from -0.0 over the inner index in ascending order.
Array64 matmul(const Array64& a, const Array64& b);

// [len(a), len(b)] with element [i, j] = a[i]·b[j].
Array64 outer(const Array64& a, const Array64& b);

Array64 transpose(const Array64& a);

// Diagonal k of a matrix (k > 0 above the main diagonal); empty when outside the matrix.
Array64 diagonal(const Array64& a, i64 k);

// The square matrix of side len(v) + |k| holding v on diagonal k.
Array64 from_diag(const Array64& v, i64 k);

// Lower-triangular L with L·Lᵀ = a, reading only the lower triangle of a.
Result<Array64> cholesky(const Array64& a);

struct QrResult {
    Array64 q;  // m×m orthogonal
    Array64 r;  // m×n, exactly zero below the diagonal
};
Result<QrResult> qr(const Array64& a);

struct EigResult {
    Array64 values;   // [n], by descending absolute value
    Array64 vectors;  // n×n, column j belongs to values[j]
};
Result<EigResult> eig_with_params(const Array64& a, u64 max_iter, f64 tol);

// The values of eig_with_params(a, 1000, 1e-10).
Result<Array64> eigvals(const Array64& a);

}  // namespace veltrix
