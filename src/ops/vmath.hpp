// exp and log over buffers, several elements per instruction, with exactly the bits (and errno)
// of calling the host C library's exp and log on each element.
//
// The vector kernels replicate the table-driven algorithms of the host library's variant for
// CPUs with FMA, operation for operation; elements outside the main range (overflow, underflow,
// subnormal results, zeros, negatives, infinities, NaN) are handed to the scalar call. A replica
// is only right where the host library is the one it replicates, so on first use a guard
// compares the kernels with the scalar calls on a built-in probe set and keeps them only if every
// probe agrees; otherwise every element is a scalar call.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "array/ndarray.hpp"
#include "ops/isa.hpp"

namespace veltrix::vmath {

// out[i] = exp(in[i]) / log(in[i]) of the C library for i < n. `out` may equal `in`.
void exp(const f64* in, f64* out, std::size_t n) noexcept;
void log(const f64* in, f64* out, std::size_t n) noexcept;

// The kernels exp and log use in this process (the guard runs on the first call):
// Isa::generic means scalar C library calls.
Isa active_isa() noexcept;
// "avx512", "avx2" or "scalar".
std::string_view path_name() noexcept;

namespace detail {

// The tables a kernel reads. Checks hand the guard a corrupted copy to see it refuse.
struct Tables {
    const u64* exp_table;  // 128 pairs (tail, head bits)
    const f64* log_table;  // 128 pairs (1/c, log c)
};
const Tables& host_tables() noexcept;

// The guard's probe inputs: every table index, the range edges, and inputs on which the host's
// FMA and plain builds differ.
std::vector<f64> exp_probes();
std::vector<f64> log_probes();

// True when the CPU can run the `isa` kernels (they need FMA besides the vector set).
bool kernels_supported(Isa isa) noexcept;
// The guard: the `isa` kernels reading `t` equal the scalar calls on every probe.
bool probes_agree(Isa isa, const Tables& t) noexcept;
// The path the guard picks for tables `t`: the widest supported set whose kernels agree on
// every probe, else Isa::generic.
Isa choose_isa(const Tables& t) noexcept;

// One path explicitly (Isa::generic: scalar calls), for checks that compare paths.
void exp_with(Isa isa, const Tables& t, const f64* in, f64* out, std::size_t n) noexcept;
void log_with(Isa isa, const Tables& t, const f64* in, f64* out, std::size_t n) noexcept;

}  // namespace detail

}  // namespace veltrix::vmath
