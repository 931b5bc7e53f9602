// Least-significant-digit radix sort on 64-bit keys, shared by the order statistics
// and the ranks.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <memory>
#include <vector>

#include "array/ndarray.hpp"

namespace veltrix::stats::detail {

// Unsigned order of the key equals the numeric order of a non-NaN double, and both
// zeros share one key, so equal keys are exactly the values that compare equal.
inline u64 order_key(f64 x) {
    const u64 bits = std::bit_cast<u64>(x + 0.0);  // -0.0 + 0.0 is +0.0
    return (bits >> 63) ? ~bits : bits | (u64{1} << 63);
}

inline f64 from_order_key(u64 key) {
    return std::bit_cast<f64>((key >> 63) ? key & ~(u64{1} << 63) : ~key);
}

// Sorts v[0, n) ascending by key(v[i]) (stable). Digits in which every key agrees
// cost no pass.
template <class T, class Key>
void radix_sort(T* v, std::size_t n, Key key) {
    if (n < 2) return;
    constexpr int kBits = 8;  // 256 buckets keep the scattered writes cache-friendly
    constexpr int kPasses = 64 / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    std::vector<std::array<std::size_t, kBuckets>> count(kPasses);
    for (auto& c : count) c.fill(0);
    for (std::size_t i = 0; i < n; ++i) {
        const u64 k = key(v[i]);
        for (int p = 0; p < kPasses; ++p) ++count[p][(k >> (p * kBits)) & (kBuckets - 1)];
    }
    std::unique_ptr<T[]> spare = std::make_unique_for_overwrite<T[]>(n);
    T* src = v;
    T* dst = spare.get();
    for (int p = 0; p < kPasses; ++p) {
        auto& c = count[p];
        const int shift = p * kBits;
        if (c[(key(src[0]) >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t offset = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t k = c[b];
            c[b] = offset;
            offset += k;
        }
        for (std::size_t i = 0; i < n; ++i) dst[c[(key(src[i]) >> shift) & (kBuckets - 1)]++] = src[i];
        std::swap(src, dst);
    }
    if (src != v) std::copy(src, src + n, v);
}

}  // namespace veltrix::stats::detail
