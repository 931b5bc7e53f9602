// Median and quantiles.
//
// The results only depend on the values at one or two positions of the stable
// ascending order, so they are found by selection instead of a full sort. A
// selection returns, at position k, an element of the right value class: with
// NaN excluded, `<` is a strict weak order and k lies inside the block of
// elements equal to the k-th smallest. Equal doubles are identical bit for bit
// except +0.0 and -0.0, and the stable order keeps those in input order, so a
// selected zero is replaced by the zero of input ordinal (k - number of
// negatives). The sort-based definition is the test oracle.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "ops/buffer.hpp"
#include "stats/radix.hpp"
#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

constexpr const char* kBadQuantile = "Quantile must be between 0 and 1";

using Buffer = std::unique_ptr<f64[]>;

// Private copy of the data, or nothing when a NaN element leaves the order undefined.
Buffer copy_unless_nan(const f64* src, std::size_t n) {
    Buffer dst = std::make_unique_for_overwrite<f64[]>(n);
    buffer::advise_huge_pages(dst.get(), n * sizeof(f64));  // before the copy touches the pages
    constexpr std::size_t kBlock = 256;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t end = std::min(n, i + kBlock);
        bool nan = false;
        for (; i < end; ++i) {
            dst[i] = src[i];
            nan |= src[i] != src[i];
        }
        if (nan) return nullptr;
    }
    return dst;
}

// Below this size, or with positions this dense, one sort beats repeated selection.
constexpr std::size_t kSortBelow = 32;
constexpr std::size_t kDenseFactor = 16;

// Leaves at every position in [pb, pe) (ascending, distinct, inside [lo, hi)) the
// value that the ascending order of s[lo, hi) has there.
void select_positions(f64* s, std::size_t lo, std::size_t hi, const u64* pb, const u64* pe) {
    while (pb != pe) {
        const std::size_t count = static_cast<std::size_t>(pe - pb);
        const std::size_t m = hi - lo;
        if (m <= kSortBelow || count * kDenseFactor >= m) {
            std::sort(s + lo, s + hi);
            return;
        }
        // An end of the range is a minimum or a maximum: one scan.
        if (count == 1 && (*pb == lo || *pb == hi - 1)) {
            f64* e = *pb == lo ? std::min_element(s + lo, s + hi) : std::max_element(s + lo, s + hi);
            std::swap(s[*pb], *e);
            return;
        }
        const u64* mid = pb + count / 2;
        const std::size_t k = *mid;
        std::nth_element(s + lo, s + k, s + hi);
        // Recurse into the smaller half of the position list, iterate on the other.
        select_positions(s, lo, k, pb, mid);
        lo = k + 1;
        pb = mid + 1;
    }
}

// values[i] holds an element of the value class at stable position positions[i]
// (positions ascending). Selected zeros get the sign of the zero that the stable
// order places there.
void restore_zero_signs(const f64* in, std::size_t n, const std::vector<u64>& positions,
                        f64* values) {
    const std::size_t k = positions.size();
    bool zero = false;
    for (std::size_t i = 0; i < k; ++i) zero |= values[i] == 0.0;
    if (!zero) return;
    std::size_t negatives = 0;
    for (std::size_t i = 0; i < n; ++i) negatives += in[i] < 0.0;
    std::size_t want = 0;  // next entry of `positions` to resolve
    while (want < k && !(values[want] == 0.0)) ++want;
    std::size_t ordinal = 0;  // zeros seen so far in input order
    for (std::size_t i = 0; i < n && want < k; ++i) {
        if (!(in[i] == 0.0)) continue;
        while (want < k && positions[want] - negatives == ordinal) {
            values[want] = in[i];
            do ++want;
            while (want < k && !(values[want] == 0.0));
        }
        ++ordinal;
    }
}

// Many probabilities over a large array: a few radix passes beat repeated selection.
constexpr std::size_t kRadixFrom = std::size_t{1} << 15;
constexpr std::size_t kRadixPositions = 16;

// A few positions in a large array: two pivots taken from a sorted sample bracket the
// positions, one pass counts the elements below the lower pivot and gathers those between the
// pivots (a few percent of the data), and only those are selected from. Every element below
// the lower pivot precedes, and every one above the upper pivot follows, the gathered ones in
// the ascending order, so the value at position p is the gathered one at p - below. When the
// sample misjudged the ranks, or the data holds a NaN, nothing is returned and the caller
// takes the general path.
constexpr std::size_t kBracketFrom = std::size_t{1} << 16;
constexpr std::size_t kBracketPositions = 4;
constexpr std::size_t kSample = 4096;
constexpr std::size_t kMargin = 128;  // sample ranks either side: about four deviations

std::optional<std::vector<f64>> bracketed_values(const f64* in, std::size_t n,
                                                 const std::vector<u64>& positions) {
    std::vector<f64> sample(kSample);
    for (std::size_t i = 0; i < kSample; ++i) sample[i] = in[i * (n / kSample)];
    for (f64 x : sample)
        if (x != x) return std::nullopt;
    std::sort(sample.begin(), sample.end());
    const auto sample_rank = [&](u64 p) { return static_cast<std::size_t>(p / (n / kSample)); };
    const std::size_t r_lo = sample_rank(positions.front()), r_hi = sample_rank(positions.back());
    const f64 lo = r_lo >= kMargin ? sample[r_lo - kMargin] : -std::numeric_limits<f64>::infinity();
    const f64 hi = r_hi + kMargin < kSample ? sample[r_hi + kMargin] : std::numeric_limits<f64>::infinity();
    // Room for twice the expected share; a larger one means the sample misled.
    const std::size_t cap = std::min(n, 2 * (r_hi - r_lo + 2 * kMargin + 2) * (n / kSample + 1));
    Buffer mid = std::make_unique_for_overwrite<f64[]>(cap + 1);
    std::size_t below = 0, m = 0;
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        const f64 x = in[i];
        below += x < lo;
        nan |= x != x;
        mid[m] = x;  // kept only when inside the bracket
        m += (x >= lo) & (x <= hi);
        m = std::min(m, cap);
    }
    if (nan || m >= cap || positions.front() < below || positions.back() >= below + m) return std::nullopt;
    std::vector<u64> local(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) local[i] = positions[i] - below;
    select_positions(mid.get(), 0, m, local.data(), local.data() + local.size());
    std::vector<f64> values(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) values[i] = mid[local[i]];
    return values;
}

// Values at the given ascending, distinct stable positions; empty when the data holds a NaN.
std::vector<f64> order_values(const Array64& a, const std::vector<u64>& positions) {
    const f64* in = a.data.data();
    const std::size_t n = a.data.size();
    if (n >= kBracketFrom && positions.size() <= kBracketPositions) {
        if (std::optional<std::vector<f64>> values = bracketed_values(in, n, positions)) {
            restore_zero_signs(in, n, positions, values->data());
            return std::move(*values);
        }
    }
    Buffer s = copy_unless_nan(in, n);
    if (!s) return {};
    if (n >= kRadixFrom && positions.size() >= kRadixPositions)
        detail::radix_sort(s.get(), n, detail::order_key);  // stable: already the oracle's order
    else
        select_positions(s.get(), 0, n, positions.data(), positions.data() + positions.size());
    std::vector<f64> values(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) values[i] = s[positions[i]];
    restore_zero_signs(in, n, positions, values.data());
    return values;
}

struct Interpolation {
    u64 lo;
    u64 hi;
    f64 f;  // weight of s[hi]; meaningful only when lo != hi
};

Interpolation position_of(f64 q, std::size_t n) {
    const f64 pos = q * static_cast<f64>(n - 1);
    const f64 lo = std::floor(pos);
    return {static_cast<u64>(lo), static_cast<u64>(std::ceil(pos)), pos - lo};
}

f64 interpolate(const Interpolation& p, f64 s_lo, f64 s_hi) {
    if (p.lo == p.hi) return s_lo;
    return p.f * s_hi + (1.0 - p.f) * s_lo;
}

bool valid_probability(f64 q) { return q >= 0.0 && q <= 1.0; }

}  // namespace

f64 median(const Array64& a) {
    const std::size_t n = a.data.size();
    if (n == 0) return kNaN;
    if (n % 2 == 1) {
        const std::vector<f64> v = order_values(a, {n / 2});
        return v.empty() ? kNaN : v[0];
    }
    const std::vector<f64> v = order_values(a, {n / 2 - 1, n / 2});
    // Adding before halving: not the same as the quantile's weighting at overflow.
    return v.empty() ? kNaN : (v[0] + v[1]) * 0.5;
}

f64 quantile(const Array64& a, f64 q) {
    if (!valid_probability(q)) VELTRIX_FAIL(kBadQuantile);
    const std::size_t n = a.data.size();
    if (n == 0) return kNaN;
    const Interpolation p = position_of(q, n);
    if (p.lo == p.hi) {
        const std::vector<f64> v = order_values(a, {p.lo});
        return v.empty() ? kNaN : v[0];
    }
    const std::vector<f64> v = order_values(a, {p.lo, p.hi});
    return v.empty() ? kNaN : interpolate(p, v[0], v[1]);
}

Array64 quantiles(const Array64& a, const Storage<f64>& qs) {
    for (f64 q : qs)
        if (!valid_probability(q)) VELTRIX_FAIL(kBadQuantile);
    const std::size_t k = qs.size();
    const std::size_t n = a.data.size();
    Storage<f64> out(k, kNaN);
    if (n == 0 || k == 0) return Array64(Shape::d1(k), std::move(out));

    std::vector<Interpolation> where(k);
    std::vector<u64> positions;
    positions.reserve(2 * k);
    for (std::size_t i = 0; i < k; ++i) {
        where[i] = position_of(qs[i], n);
        positions.push_back(where[i].lo);
        if (where[i].hi != where[i].lo) positions.push_back(where[i].hi);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());

    const std::vector<f64> v = order_values(a, positions);
    if (v.empty()) return Array64(Shape::d1(k), std::move(out));
    const auto value_at = [&](u64 pos) {
        return v[std::lower_bound(positions.begin(), positions.end(), pos) - positions.begin()];
    };
    for (std::size_t i = 0; i < k; ++i)
        out[i] = interpolate(where[i], value_at(where[i].lo), value_at(where[i].hi));
    return Array64(Shape::d1(k), std::move(out));
}

}  // namespace veltrix::stats
