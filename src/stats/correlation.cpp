// Pearson and Spearman correlation, fractional ranks.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>

#include "stats/radix.hpp"
#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

struct Unscaled {
    f64 operator()(f64 x) const { return x; }
};

// Multiplication by a power of two, split in two factors so that exponents beyond
// the range of one double still scale exactly.
struct PowerOfTwo {
    f64 first;
    f64 second;
    explicit PowerOfTwo(int e) : first(std::ldexp(1.0, e / 2)), second(std::ldexp(1.0, e - e / 2)) {}
    f64 operator()(f64 x) const { return x * first * second; }
};

struct PearsonTerms {
    f64 sxx, syy, sxy, p, q;
};

template <class Fa, class Fb>
PearsonTerms pearson_terms(const f64* a, const f64* b, std::size_t n, Fa fa, Fb fb) {
    f64 sa = -0.0, sb = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sa += fa(a[i]);
        sb += fb(b[i]);
    }
    const f64 ma = sa / static_cast<f64>(n);
    const f64 mb = sb / static_cast<f64>(n);
    f64 sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const f64 dx = fa(a[i]) - ma;
        const f64 dy = fb(b[i]) - mb;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    return {sxx, syy, sxy, std::sqrt(sxx), std::sqrt(syy)};
}

f64 coefficient(const PearsonTerms& t) {
    if (t.p == 0.0 || t.q == 0.0) return 0.0;
    return t.sxy / (t.p * t.q);
}

// The literal terms are exact up to rounding unless an intermediate left the normal
// range: sums of squares below the smallest normal lose their low bits to
// underflow (or vanish, making a varying vector look constant), and any infinity
// or NaN from finite data is an overflow.
bool out_of_range(const PearsonTerms& t) {
    constexpr f64 kMinNormal = std::numeric_limits<f64>::min();
    return !(t.sxx >= kMinNormal && t.syy >= kMinNormal && std::isfinite(t.sxx) &&
             std::isfinite(t.syy) && std::isfinite(t.sxy) && std::isfinite(t.p * t.q));
}

// Largest magnitude of a buffer, or a negative value when an element is not finite.
f64 max_abs_finite(const f64* x, std::size_t n) {
    f64 m = 0.0;
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) {
        const f64 v = std::fabs(x[i]);
        finite &= v <= std::numeric_limits<f64>::max();
        m = v > m ? v : m;
    }
    return finite ? m : -1.0;
}

// Exponent that brings the largest magnitude just below 2^e, with e chosen so that
// n squared deviations of up to twice that magnitude cannot overflow.
int scale_exponent(f64 max_abs, std::size_t n) {
    if (max_abs == 0.0) return 0;
    const int log2n = static_cast<int>(std::bit_width(static_cast<u64>(n)));
    const int e = (1021 - log2n) / 2;
    return e - 1 - std::ilogb(max_abs);
}

struct Keyed {
    u64 key;
    u64 index;
};

// Ascending by key. The order inside a tie does not matter: every member of a run
// of equal values receives the same rank.
void sort_by_key(Keyed* v, std::size_t n) {
    constexpr std::size_t kRadixFrom = 4096;
    if (n < kRadixFrom)
        std::sort(v, v + n, [](const Keyed& x, const Keyed& y) { return x.key < y.key; });
    else
        detail::radix_sort(v, n, [](const Keyed& x) { return x.key; });
}

// Ranks of a vector into out, all NaN when it holds a NaN (the order gives NaN no place).
void fill_ranks(const Array64& a, f64* out) {
    VELTRIX_ASSERT_EQ(a.ndim(), 1, "Array must be 1d");
    const std::size_t n = a.data.size();
    const f64* x = a.data.data();
    std::unique_ptr<Keyed[]> order = std::make_unique_for_overwrite<Keyed[]>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != x[i]) {
            std::fill(out, out + n, kNaN);
            return;
        }
        order[i] = {detail::order_key(x[i]), i};
    }
    sort_by_key(order.get(), n);
    for (std::size_t l = 0; l < n;) {
        std::size_t j = l + 1;
        while (j < n && order[j].key == order[l].key) ++j;
        const f64 rank = static_cast<f64>(l + 1 + j) * 0.5;
        for (std::size_t i = l; i < j; ++i) out[order[i].index] = rank;
        l = j;
    }
}

}  // namespace

f64 pearson(const Array64& a, const Array64& b) {
    VELTRIX_ASSERT_EQ(a.data.size(), b.data.size(), "Arrays must have same length");
    VELTRIX_ASSERT_EQ(a.ndim(), 1, "Array must be 1d");
    VELTRIX_ASSERT_EQ(b.ndim(), 1, "Array must be 1d");
    const std::size_t n = a.data.size();
    if (n == 0) return 0.0;
    const f64* x = a.data.data();
    const f64* y = b.data.data();
    const PearsonTerms literal = pearson_terms(x, y, n, Unscaled{}, Unscaled{});
    if (!out_of_range(literal)) return coefficient(literal);

    // Finite data whose terms under- or overflowed: the same formula on both vectors
    // scaled by powers of two into the middle of the exponent range. Scaling by a
    // power of two is exact, so this is the value the formula has without range
    // limits. Non-finite data keeps the literal value.
    const f64 max_x = max_abs_finite(x, n);
    const f64 max_y = max_abs_finite(y, n);
    if (max_x < 0.0 || max_y < 0.0) return coefficient(literal);
    const PowerOfTwo sx(scale_exponent(max_x, n));
    const PowerOfTwo sy(scale_exponent(max_y, n));
    return coefficient(pearson_terms(x, y, n, sx, sy));
}

Array64 ranks(const Array64& a) {
    const std::size_t n = a.data.size();
    Storage<f64> out(n);
    fill_ranks(a, out.data());
    return Array64(Shape::d1(n), std::move(out));
}

f64 spearman(const Array64& a, const Array64& b) {
    const Array64 ra = ranks(a);
    const Array64 rb = ranks(b);
    const f64 r = pearson(ra, rb);
    // NaN ranks alone would still give 0.0 against a constant vector.
    const bool nan = (!ra.data.empty() && std::isnan(ra.data[0])) ||
                     (!rb.data.empty() && std::isnan(rb.data[0]));
    return nan ? kNaN : r;
}

}  // namespace veltrix::stats
