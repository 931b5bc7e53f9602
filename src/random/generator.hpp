// The library's one source of random numbers: xoshiro256** seeded by SplitMix64.
//
// Every stream is reproducible bit for bit from its seed, so the number and
// order of draws of each operation, and the floating-point grouping of each
// variate, are fixed. Parameter checks run before the first draw: a refused
// call leaves the state untouched.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "array/ndarray.hpp"

namespace veltrix {

class Generator {
public:
    // s[0..3] in this order; never all zero when produced by the seeding below.
    u64 s[4];

    // The first four SplitMix64 outputs started at `seed`.
    static Generator from_seed(u64 seed);
    // Seeds from the real-time clock in nanoseconds since the Unix epoch.
    static Generator from_clock();

    // The four state words, s0 first: everything a generator is.
    std::array<u64, 4> state() const noexcept { return {s[0], s[1], s[2], s[3]}; }
    // The generator with exactly these words; refuses the all-zero state, from which the
    // stream would be zeros forever and which no seeding produces.
    static Result<Generator> from_state(const std::array<u64, 4>& words);

    // A copy advanced by jumps x 2^128 draws with the published xoshiro256** jump
    // polynomial; this generator is unchanged.
    Generator jumped(u64 jumps) const;
    // n generators for parallel streams: child i (0-based) is this generator jumped i + 1
    // times, and this generator itself then moves n + 1 jumps ahead, past every child. So
    // the parent and the children run in disjoint blocks of 2^128 draws, and the same parent
    // state always spawns the same children.
    std::vector<Generator> spawn(u64 n);

    u64 next_u64() noexcept {
        const u64 s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
        const u64 result = rotl(s1 * 5, 7) * 9;
        const u64 t = s1 << 17;
        const u64 n2 = s2 ^ s0;
        const u64 n3 = s3 ^ s1;
        s[1] = s1 ^ n2;
        s[0] = s0 ^ n3;
        s[2] = n2 ^ t;
        s[3] = rotl(n3, 45);
        return result;
    }

    // A double in [0, 1 - 2^-53]; 0.0 is possible.
    double next_f64() noexcept { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // (u * (high - low)) + low per element; refuses not (low < high).
    NdArray<f64> uniform(double low, double high, Shape shape);
    // low + (u64 mod (high - low)) per element, plain remainder without rejection.
    NdArray<i64> randint(i64 low, i64 high, Shape shape);
    // randint with each value converted to the nearest double as it is drawn.
    NdArray<f64> randint_f64(i64 low, i64 high, Shape shape);

    // Box-Muller, sine then cosine per pair; an odd count ends with one sine value.
    NdArray<f64> standard_normal(Shape shape);
    // standard_normal, then * sigma in one pass, then + mu in a second.
    NdArray<f64> normal(double mu, double sigma, Shape shape);
    // exp of normal(mu, sigma).
    NdArray<f64> lognormal(double mu, double sigma, Shape shape);
    // Marsaglia-Tsang variates times scale; refuses non-positive parameters.
    NdArray<f64> gamma(double shape_param, double scale, Shape shape);
    // x / (y + x) of two gamma variates; refuses non-positive parameters.
    NdArray<f64> beta(double alpha, double beta, Shape shape);

    // One gamma variate of shape a (a > 0, unchecked) and scale 1.
    double sample_gamma_single(double a);

private:
    static constexpr u64 rotl(u64 x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
};

}  // namespace veltrix
