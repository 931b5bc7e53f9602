#include <cstddef>
#include <immintrin.h>

#include "ops/isa.hpp"
#include "stats/stats.hpp"

namespace veltrix::stats {

namespace {

// One vectorised pass over blocks finds the extreme value, the first block holding it and
// whether a NaN occurs; a vectorised search of that one block then gives the first position
// holding it (or the first NaN). MINPD/MAXPD compute exactly `v < m ? v : m` / `v > m ? v : m`,
// the scalar rule, so every lane count finds the same value; the position, and so the sign
// among equal zeros, comes from the exact search.
template <bool Min>
bool better(f64 v, f64 m) {
    return Min ? v < m : v > m;
}

struct Scan {
    f64 value;  // the extreme, compared with ==, so its sign may be the wrong zero
    bool nan;
};

template <bool Min>
Scan finish_scan(const f64* lanes, std::size_t count, const f64* x, std::size_t i, std::size_t n,
                 bool nan) {
    f64 m = x[0];
    for (std::size_t k = 0; k < count; ++k) m = better<Min>(lanes[k], m) ? lanes[k] : m;
    for (; i < n; ++i) {
        m = better<Min>(x[i], m) ? x[i] : m;
        nan |= x[i] != x[i];
    }
    return {m, nan};
}

// SSE2 is part of every x86-64. Four registers wide so the compares do not wait on each other.
template <bool Min>
Scan scan_sse2(const f64* x, std::size_t n) {
    alignas(16) f64 lanes[8];
    std::size_t i = 0;
    bool nan = false;
    if (n >= 8) {
        __m128d acc[4], unordered = _mm_setzero_pd();
        for (auto& a : acc) a = _mm_set1_pd(x[0]);
        for (; i + 8 <= n; i += 8)
            for (int k = 0; k < 4; ++k) {
                const __m128d v = _mm_loadu_pd(x + i + 2 * k);
                acc[k] = Min ? _mm_min_pd(v, acc[k]) : _mm_max_pd(v, acc[k]);
                unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(v, v));
            }
        nan = _mm_movemask_pd(unordered) != 0;
        for (int k = 0; k < 4; ++k) _mm_store_pd(lanes + 2 * k, acc[k]);
    }
    return finish_scan<Min>(lanes, i ? 8 : 0, x, i, n, nan);
}

template <bool Min>
VELTRIX_TARGET_AVX2 Scan scan_avx2(const f64* x, std::size_t n) {
    alignas(32) f64 lanes[16];
    std::size_t i = 0;
    bool nan = false;
    if (n >= 16) {
        __m256d acc[4], unordered = _mm256_setzero_pd();
        for (auto& a : acc) a = _mm256_set1_pd(x[0]);
        for (; i + 16 <= n; i += 16)
            for (int k = 0; k < 4; ++k) {
                const __m256d v = _mm256_loadu_pd(x + i + 4 * k);
                acc[k] = Min ? _mm256_min_pd(v, acc[k]) : _mm256_max_pd(v, acc[k]);
                unordered = _mm256_or_pd(unordered, _mm256_cmp_pd(v, v, _CMP_UNORD_Q));
            }
        nan = _mm256_movemask_pd(unordered) != 0;
        for (int k = 0; k < 4; ++k) _mm256_store_pd(lanes + 4 * k, acc[k]);
    }
    return finish_scan<Min>(lanes, i ? 16 : 0, x, i, n, nan);
}

// First position of a NaN (Nan) or of an element equal to `value`; it must exist.
template <bool Nan>
std::size_t find_sse2(const f64* x, std::size_t n, f64 value) {
    const __m128d t = _mm_set1_pd(value);
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(x + i);
        if (const int bits = _mm_movemask_pd(Nan ? _mm_cmpunord_pd(v, v) : _mm_cmpeq_pd(v, t)))
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
    }
    while (Nan ? x[i] == x[i] : x[i] != value) ++i;
    return i;
}

template <bool Nan>
VELTRIX_TARGET_AVX2 std::size_t find_avx2(const f64* x, std::size_t n, f64 value) {
    const __m256d t = _mm256_set1_pd(value);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256d hit = Nan ? _mm256_cmp_pd(v, v, _CMP_UNORD_Q) : _mm256_cmp_pd(v, t, _CMP_EQ_OQ);
        if (const int bits = _mm256_movemask_pd(hit))
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
    }
    while (Nan ? x[i] == x[i] : x[i] != value) ++i;
    return i;
}

// Elements per block: small enough that the search stays in L1, large enough that the
// per-block combination of the lanes costs nothing.
constexpr std::size_t kBlock = 2048;

template <bool Min, class ScanFn, class FindFn>
std::size_t locate(const f64* x, std::size_t n, ScanFn scan, FindFn find) {
    std::size_t at = 0, len = n < kBlock ? n : kBlock;
    Scan best = scan(x, len);
    for (std::size_t start = kBlock; start < n && !best.nan; start += kBlock) {
        const std::size_t m = n - start < kBlock ? n - start : kBlock;
        const Scan s = scan(x + start, m);
        // Strictly better only, so the first block holding the extreme is kept.
        if (s.nan || better<Min>(s.value, best.value)) {
            best = s;
            at = start;
            len = m;
        }
    }
    return at + find(x + at, len, best);
}

template <bool Min>
std::size_t extreme_index(const f64* x, std::size_t n, Isa isa) {
    return dispatch_isa(isa, [&]<Isa I>() -> std::size_t {
        if constexpr (I == Isa::generic)
            return locate<Min>(x, n, scan_sse2<Min>, [](const f64* b, std::size_t m, Scan s) {
                return s.nan ? find_sse2<true>(b, m, 0.0) : find_sse2<false>(b, m, s.value);
            });
        else
            return locate<Min>(x, n, scan_avx2<Min>, [](const f64* b, std::size_t m, Scan s) {
                return s.nan ? find_avx2<true>(b, m, 0.0) : find_avx2<false>(b, m, s.value);
            });
    });
}

template <bool Min>
Result<u64> extreme_position(const Array64& a, const char* empty) {
    if (a.data.empty()) return Error{empty};
    return u64{extreme_index<Min>(a.data.data(), a.data.size(), best_isa())};
}

template <bool Min>
Result<f64> extreme_value(const Array64& a, const char* empty) {
    Result<u64> i = extreme_position<Min>(a, empty);
    if (!i) return Error{i.error()};
    return a.data[i.value()];
}

constexpr const char* kNoMinimum = "zero-size array has no minimum";
constexpr const char* kNoMaximum = "zero-size array has no maximum";

}  // namespace

Result<f64> min(const Array64& a) { return extreme_value<true>(a, kNoMinimum); }
Result<f64> max(const Array64& a) { return extreme_value<false>(a, kNoMaximum); }
Result<u64> argmin(const Array64& a) { return extreme_position<true>(a, kNoMinimum); }
Result<u64> argmax(const Array64& a) { return extreme_position<false>(a, kNoMaximum); }

// Position of the first NaN, else of the first element equal to the extreme: so among equal
// zeros the first one wins, whatever its sign, and min() is always the element at argmin().
// The AVX-512 machines run the AVX2 kernels: the scan is bound by memory there.
std::size_t extreme_index(const f64* x, std::size_t n, bool smallest, Isa isa) {
    return smallest ? extreme_index<true>(x, n, isa) : extreme_index<false>(x, n, isa);
}

}  // namespace veltrix::stats
