#include <cstddef>
#include <emmintrin.h>

#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

// The value scan runs on SSE2 (part of every x86-64), four registers wide so the compares do
// not wait on each other. MINPD/MAXPD compute exactly `v < m ? v : m` / `v > m ? v : m`, the
// scalar rule; the lanes only decide the extreme value, positions come from an exact scan.
struct Smaller {
    static bool better(f64 v, f64 m) { return v < m; }
    static __m128d pick(__m128d v, __m128d m) { return _mm_min_pd(v, m); }
};
struct Larger {
    static bool better(f64 v, f64 m) { return v > m; }
    static __m128d pick(__m128d v, __m128d m) { return _mm_max_pd(v, m); }
};

struct Scan {
    f64 value;  // the extreme, compared with ==, so its sign may be the wrong zero
    bool nan;
};

template <class Order>
Scan scan_extreme(const f64* x, std::size_t n) {
    f64 m = x[0];
    bool nan = false;
    std::size_t i = 0;
    if (n >= 8) {
        __m128d acc[4], unordered = _mm_setzero_pd();
        for (int k = 0; k < 4; ++k) acc[k] = _mm_set1_pd(x[0]);
        for (; i + 8 <= n; i += 8)
            for (int k = 0; k < 4; ++k) {
                const __m128d v = _mm_loadu_pd(x + i + 2 * k);
                acc[k] = Order::pick(v, acc[k]);
                unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(v, v));
            }
        nan = _mm_movemask_pd(unordered) != 0;
        alignas(16) f64 lanes[8];
        for (int k = 0; k < 4; ++k) _mm_store_pd(lanes + 2 * k, acc[k]);
        for (f64 v : lanes) m = Order::better(v, m) ? v : m;
    }
    for (; i < n; ++i) {
        m = Order::better(x[i], m) ? x[i] : m;
        nan |= x[i] != x[i];
    }
    return {m, nan};
}

// Position of the first NaN, else of the first element equal to the extreme: so among equal
// zeros the first one wins, whatever its sign, and min() is always the element at argmin().
template <class Order>
Result<u64> extreme_position(const Array64& a, const char* empty) {
    const std::size_t n = a.data.size();
    if (n == 0) return Error{empty};
    const f64* x = a.data.data();
    const Scan s = scan_extreme<Order>(x, n);
    std::size_t i = 0;
    if (s.nan)
        while (x[i] == x[i]) ++i;
    else
        while (x[i] != s.value) ++i;
    return u64{i};
}

template <class Order>
Result<f64> extreme_value(const Array64& a, const char* empty) {
    Result<u64> i = extreme_position<Order>(a, empty);
    if (!i) return Error{i.error()};
    return a.data[i.value()];
}

constexpr const char* kNoMinimum = "zero-size array has no minimum";
constexpr const char* kNoMaximum = "zero-size array has no maximum";

}  // namespace

Result<f64> min(const Array64& a) { return extreme_value<Smaller>(a, kNoMinimum); }
Result<f64> max(const Array64& a) { return extreme_value<Larger>(a, kNoMaximum); }
Result<u64> argmin(const Array64& a) { return extreme_position<Smaller>(a, kNoMinimum); }
Result<u64> argmax(const Array64& a) { return extreme_position<Larger>(a, kNoMaximum); }

}  // namespace veltrix::stats
