#include <cstddef>
#include <functional>

#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

// Independent lanes let the compare-and-select loop vectorise; the lanes only
// decide the extreme value, positions come from a second exact scan.
constexpr std::size_t kLanes = 8;

struct Scan {
    f64 value;   // the extreme, compared with ==, so its sign may be the wrong zero
    bool nan;
};

template <class Better>
Scan scan_extreme(const f64* x, std::size_t n, Better better) {
    f64 lane[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) lane[j] = x[0];
    unsigned nan = 0;
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) {
            const f64 v = x[i + j];
            lane[j] = better(v, lane[j]) ? v : lane[j];
            nan |= v != v;
        }
    for (; i < n; ++i) {
        lane[0] = better(x[i], lane[0]) ? x[i] : lane[0];
        nan |= x[i] != x[i];
    }
    f64 m = lane[0];
    for (std::size_t j = 1; j < kLanes; ++j) m = better(lane[j], m) ? lane[j] : m;
    return {m, nan != 0};
}

std::size_t first_nan(const f64* x, std::size_t n) {
    std::size_t i = 0;
    while (i < n && x[i] == x[i]) ++i;
    return i;
}

template <class Better>
Result<f64> extreme_value(const Array64& a, Better better, const char* empty) {
    const std::size_t n = a.data.size();
    if (n == 0) return Error{empty};
    const f64* x = a.data.data();
    const Scan s = scan_extreme(x, n, better);
    if (s.nan) return x[first_nan(x, n)];
    if (s.value != 0.0) return s.value;
    // Case: zeros of either sign are the extreme; NumPy keeps the last one.
    std::size_t i = n;
    while (x[i - 1] != 0.0) --i;
    return x[i - 1];
}

template <class Better>
Result<u64> extreme_position(const Array64& a, Better better, const char* empty) {
    const std::size_t n = a.data.size();
    if (n == 0) return Error{empty};
    const f64* x = a.data.data();
    const Scan s = scan_extreme(x, n, better);
    if (s.nan) return u64{first_nan(x, n)};
    std::size_t i = 0;
    while (x[i] != s.value) ++i;
    return u64{i};
}

constexpr const char* kNoMinimum = "zero-size array has no minimum";
constexpr const char* kNoMaximum = "zero-size array has no maximum";

}  // namespace

Result<f64> min(const Array64& a) { return extreme_value(a, std::less<>{}, kNoMinimum); }
Result<f64> max(const Array64& a) { return extreme_value(a, std::greater<>{}, kNoMaximum); }
Result<u64> argmin(const Array64& a) { return extreme_position(a, std::less<>{}, kNoMinimum); }
Result<u64> argmax(const Array64& a) { return extreme_position(a, std::greater<>{}, kNoMaximum); }

}  // namespace veltrix::stats
