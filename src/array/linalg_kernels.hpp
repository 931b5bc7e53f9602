// Inner loops of the linear-algebra routines.
//
// Every kernel keeps each result element's floating-point operations in the
// order of the plain loop it replaces: a sum over t is one accumulator that
// receives its products in ascending t, and every product is a separate
// multiply followed by a separate add (the build never contracts to FMA).
// Blocking, packing and vectorisation only change which independent elements
// are worked on together, so the results are bit-identical to the plain loops.
//
// Each kernel exists as a portable version and, where the CPU has them, AVX2 and
// AVX-512 versions chosen at run time; all are reachable here so that tests can hold
// each against the plain loops.
#pragma once

#include <cstdint>

#include "ops/isa.hpp"

namespace veltrix::kernels {

using f64 = double;
using u64 = std::uint64_t;

// A read-only matrix with arbitrary element strides: element (i, j) is p[i*rs + j*cs].
struct MatRef {
    const f64* p;
    u64 rs;
    u64 cs;
};

using veltrix::Isa;
using veltrix::best_isa;

// Not a set of its own: the AVX-512 variants' blocking, tiles and edges compiled with AVX2
// instructions (each eight-lane operation as two four-lane ones, the same IEEE operation per
// lane), so that machines without AVX-512 can hold that logic against the plain loops. Runs
// wherever AVX2 does; only the native checks pass it, and only builds that make them compile
// it (elsewhere it runs the generic kernels).
inline constexpr Isa avx512_as_avx2 = static_cast<Isa>(3);

// c[i*q + j] = -0.0 + a(i,0)*b(0,j) + a(i,1)*b(1,j) + ... (t ascending), for an m×n
// times n×q product; c is row-major m×q and is fully overwritten.
void gemm(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, Isa isa = best_isa());

// gemm for an A whose rows i < tri hold +0.0 left of the diagonal (a(i, t) = +0.0 for
// t < i; rows past n are then all +0.0), with the same results bit for bit: those products
// are +0.0·b(t, j), whose sums come from b alone, so small products skip multiplying them.
void gemm_upper(u64 m, u64 q, u64 n, u64 tri, MatRef a, MatRef b, f64* c, Isa isa = best_isa());

// The same products added onto the existing values: c[i*ldc + j] = c[i*ldc + j] + a(i,0)*b(0,j)
// + a(i,1)*b(1,j) + ... (t ascending), so a sum can be carried on over several calls.
void gemm_accumulate(u64 m, u64 q, u64 n, MatRef a, MatRef b, f64* c, u64 ldc,
                     Isa isa = best_isa());

// y[i] = -0.0 + a[i*n]*x[0] + a[i*n+1]*x[1] + ... for a row-major m×n matrix.
void gemv(u64 m, u64 n, const f64* a, const f64* x, f64* y, Isa isa = best_isa());

// y[j] = -0.0 + x[0]*b[j] + x[1]*b[q+j] + ... for a row-major n×q matrix.
void gevm(u64 n, u64 q, const f64* x, const f64* b, f64* y, Isa isa = best_isa());

// The unit Householder vector of the column segment x[0], x[stride], ... (len >= 1 entries):
// norm_x = sqrt(0.0 + x[0]*x[0] + ...); v = x with v[0] = x[0] + (x[0] >= 0 ? 1 : -1)*norm_x;
// norm_v = sqrt(0.0 + v[0]*v[0] + ...); v[i] = v[i] / norm_v. Returns false (v unfinished)
// when norm_x or norm_v is below 1e-14, i.e. the step is skipped. x_sq, when given, is the
// sum under norm_x, already formed in that order.
bool householder_vector(u64 len, const f64* x, u64 stride, f64* v, const f64* x_sq = nullptr,
                        Isa isa = best_isa());

// One Householder reflection applied to `rows` rows × `cols` contiguous columns of a
// row-major block m with leading dimension ld. For every column j, first
//   w[j] = 0.0 + v[0]*m[j] + v[1]*m[ld+j] + ...          (i ascending),
// then for every row i
//   left:  m[i*ld+j] = m[i*ld+j] - (v[i] + v[i]) * w[j]
//   right: m[i*ld+j] = m[i*ld+j] - (w[j] + w[j]) * v[i].
// Columns are independent, so callers may apply reflections column block by column block.
enum class Reflect { left, right };
void reflect(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, Reflect form, Isa isa = best_isa());

// reflect(rows, cols, v, m, ld, Reflect::left) that also sets *sq = 0.0 + m[ld+col]^2 +
// m[2*ld+col]^2 + ... (rows 1 .. rows-1 after the update, in order): the norm the next
// Householder step needs, formed while its rows are written. Only for cols a whole number of
// vectors up to the widest register block; returns false without doing anything otherwise.
bool reflect_left_norm(u64 rows, u64 cols, const f64* v, f64* m, u64 ld, u64 col, f64* sq,
                       Isa isa = best_isa());

// Applies the reflections of steps k_begin .. k_end-1 in order to a block of `cols`
// contiguous columns of `rows` rows (leading dimension ld). Step k uses the vector
// vs[k*vstride ..] of length rows-k on rows k .. rows-1 and is skipped when applied[k] is 0.
// The same as calling reflect for each step, but each pass that updates the rows of one
// step also forms the column sums of the next.
void reflect_steps(u64 rows, u64 cols, u64 k_begin, u64 k_end, const f64* vs, u64 vstride,
                   const unsigned char* applied, f64* m, u64 ld, Reflect form,
                   Isa isa = best_isa());

}  // namespace veltrix::kernels
