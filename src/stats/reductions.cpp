#include <cmath>
#include <cstddef>
#include <limits>

#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

// The one plain sum: from -0.0 so that an empty or all-negative-zero buffer keeps its sign.
f64 plain_sum(const f64* x, std::size_t n) {
    f64 s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s += x[i];
    return s;
}

// `all` and `any` decide on a whole block at a time so the test vectorises; the
// answer is the same as stopping at the first deciding element.
constexpr std::size_t kScanBlock = 256;

template <class Pred>
bool some_element(const f64* x, std::size_t n, Pred pred) {
    std::size_t i = 0;
    for (; i + kScanBlock <= n; i += kScanBlock) {
        bool hit = false;
        for (std::size_t j = 0; j < kScanBlock; ++j) hit |= pred(x[i + j]);
        if (hit) return true;
    }
    bool hit = false;
    for (; i < n; ++i) hit |= pred(x[i]);
    return hit;
}

}  // namespace

f64 sum(const Array64& a) { return plain_sum(a.data.data(), a.data.size()); }

f64 mean(const Array64& a) {
    const std::size_t n = a.data.size();
    if (n == 0) return kNaN;
    return plain_sum(a.data.data(), n) / static_cast<f64>(n);
}

f64 var(const Array64& a) {
    const std::size_t n = a.data.size();
    if (n == 0) return kNaN;
    const f64* x = a.data.data();
    const f64 m = plain_sum(x, n) / static_cast<f64>(n);
    f64 acc = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const f64 d = x[i] - m;
        acc += d * d;
    }
    return acc / static_cast<f64>(n);
}

f64 std(const Array64& a) { return std::sqrt(var(a)); }

// Ordered equality: -0.0 counts as zero, NaN does not.
bool all(const Array64& a) {
    return !some_element(a.data.data(), a.data.size(), [](f64 v) { return v == 0.0; });
}

// Unordered inequality: true for NaN as well as for every non-zero value.
bool any(const Array64& a) {
    return some_element(a.data.data(), a.data.size(), [](f64 v) { return v != 0.0; });
}

}  // namespace veltrix::stats
