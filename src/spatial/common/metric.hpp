// Distance metrics and smoothing kernels shared by the three spatial trees.
//
// Each metric and kernel exists twice: as an enumerator (stored in a tree, passed to a
// density call) and as a small type, so that a search is instantiated once per metric and
// the inner loops never branch on which one it has. Searches hold a metric as a value `m`
// and call m.distance(a, b, n), m.step(s, a, b, i) and m.finish(s): the plain metrics are
// empty types with static members, Periodic<M> carries the box lengths it wraps by, and
// AnyPeriodic is one of the three Periodic<M> chosen at run time.
#pragma once

#include <emmintrin.h>

#include <cmath>
#include <concepts>
#include <limits>
#include <optional>
#include <string_view>

#include "array/ndarray.hpp"
#include "ops/vmath.hpp"

namespace veltrix {

enum class DistanceMetric : unsigned char { Euclidean, Manhattan, Chebyshev };
enum class KernelType : unsigned char { Gaussian, Epanechnikov, Uniform, Triangular };

// Names are matched against text the caller has already lower-cased.
std::optional<DistanceMetric> metric_from_name(std::string_view lowered) noexcept;
std::optional<KernelType> kernel_from_name(std::string_view lowered) noexcept;

// ---------------------------------------------------------------------------------------------
// Metrics: one sequential accumulator from +0.0, component 0 upward, over the n components of a.

struct EuclideanMetric {
    static constexpr DistanceMetric id = DistanceMetric::Euclidean;
    static f64 distance(const f64* a, const f64* b, u64 n) noexcept {
        f64 s = 0.0;
        for (u64 i = 0; i < n; ++i) {
            const f64 t = a[i] - b[i];
            s = t * t + s;
        }
        return std::sqrt(s);
    }
    // The same accumulation one component at a time (component i), for loops that interleave
    // several points.
    static f64 step(f64 s, f64 a, f64 b, u64 = 0) noexcept {
        const f64 t = a - b;
        return t * t + s;
    }
    // One component's absolute difference t added to s: (a - b)^2 and |a - b|^2 are the same bits.
    static f64 accumulate(f64 s, f64 t) noexcept { return t * t + s; }
    static f64 finish(f64 s) noexcept { return std::sqrt(s); }
};

struct ManhattanMetric {
    static constexpr DistanceMetric id = DistanceMetric::Manhattan;
    static f64 distance(const f64* a, const f64* b, u64 n) noexcept {
        f64 s = 0.0;
        for (u64 i = 0; i < n; ++i) s = s + std::fabs(a[i] - b[i]);
        return s;
    }
    static f64 step(f64 s, f64 a, f64 b, u64 = 0) noexcept { return s + std::fabs(a - b); }
    static f64 accumulate(f64 s, f64 t) noexcept { return s + t; }
    static f64 finish(f64 s) noexcept { return s; }
};

struct ChebyshevMetric {
    static constexpr DistanceMetric id = DistanceMetric::Chebyshev;
    static f64 distance(const f64* a, const f64* b, u64 n) noexcept {
        f64 r = 0.0;
        for (u64 i = 0; i < n; ++i) {
            const f64 t = std::fabs(a[i] - b[i]);
            // A NaN component is skipped; r itself never becomes NaN.
            if (std::isnan(r) || t > r) r = t;
        }
        return r;
    }
    static f64 step(f64 r, f64 a, f64 b, u64 = 0) noexcept { return accumulate(r, std::fabs(a - b)); }
    static f64 accumulate(f64 r, f64 t) noexcept { return (std::isnan(r) | (t > r)) ? t : r; }
    static f64 finish(f64 r) noexcept { return r; }
};

// Coordinates on a circle of circumference L (L > 0 and finite): x - L * floor(x / L), where
// a result that rounds to L becomes 0 and one that rounds below 0 (x / L rounded up to an
// integer) is lifted by L, so a coordinate already in [0, L) keeps its bits. NaN and the
// infinities give NaN.
inline f64 wrap_coordinate(f64 x, f64 L) noexcept {
    f64 r = x - L * std::floor(x / L);
    if (r < 0.0) r = r + L;
    return r >= L ? 0.0 : r;
}

// a > b ? a : b (b when either is NaN) in one instruction: GCC compiles the conditional to a
// branch in some loops, and whether a point lies beyond a box's side is a coin toss.
inline f64 max_or_second(f64 a, f64 b) noexcept { return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b))); }
// a < b ? a : b (b when either is NaN).
inline f64 min_or_second(f64 a, f64 b) noexcept { return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b))); }

// Base on a torus with side lengths box[0, n): each component's difference is the shorter way
// round, t = |a - b|, t = min(t, L_i - t), then Base accumulates it in its own order. Both
// points must already lie in the box, so that |a - b| < L_i.
template <class Base>
struct Periodic {
    static constexpr DistanceMetric id = Base::id;
    const f64* box;

    f64 difference(f64 a, f64 b, u64 i) const noexcept {
        const f64 t = std::fabs(a - b), u = box[i] - t;
        return min_or_second(u, t);
    }
    f64 distance(const f64* a, const f64* b, u64 n) const noexcept {
        f64 s = 0.0;
        for (u64 i = 0; i < n; ++i) s = Base::accumulate(s, difference(a[i], b[i], i));
        return Base::finish(s);
    }
    f64 step(f64 s, f64 a, f64 b, u64 i) const noexcept { return Base::accumulate(s, difference(a, b, i)); }
    static f64 accumulate(f64 s, f64 t) noexcept { return Base::accumulate(s, t); }
    static f64 finish(f64 s) noexcept { return Base::finish(s); }
};

// The three periodic metrics as one type that knows its base at run time, as CompactKernel
// does for the kernels: the searches and pair walks over a torus are compiled once for the
// three bases instead of once per base (those copies were a third of the trees' code). Every
// loop over coordinates (a leaf's distances, the distance between two points, a node's box
// bound) chooses the base once per call and runs Periodic<Base>'s own code, so every value
// has the bits Periodic<Base> gives.
struct AnyPeriodic {
    DistanceMetric id;
    const f64* box;

    // Calls f with the typed metric.
    template <class F>
    [[gnu::always_inline]] decltype(auto) with(F&& f) const {
        switch (id) {
            case DistanceMetric::Manhattan: return f(Periodic<ManhattanMetric>{box});
            case DistanceMetric::Chebyshev: return f(Periodic<ChebyshevMetric>{box});
            case DistanceMetric::Euclidean: break;
        }
        return f(Periodic<EuclideanMetric>{box});
    }
    [[gnu::always_inline]] f64 distance(const f64* a, const f64* b, u64 n) const noexcept {
        return with([&](const auto& m) { return m.distance(a, b, n); });
    }
    [[gnu::always_inline]] f64 finish(f64 s) const noexcept {
        return with([&](const auto& m) { return m.finish(s); });
    }
};

template <class M>
inline constexpr bool is_periodic = false;
template <class B>
inline constexpr bool is_periodic<Periodic<B>> = true;
template <>
inline constexpr bool is_periodic<AnyPeriodic> = true;

// Whether M is, at compile time, the metric `id` names on a plane (the torus's base is known
// only at run time).
template <class M>
constexpr bool is_plane(DistanceMetric id) {
    if constexpr (is_periodic<M>) return false;
    else return M::id == id;
}

template <class M>
concept Metric = requires(const M& m, const f64* a, u64 n) {
    { m.distance(a, a, n) } -> std::same_as<f64>;
    { M::id } -> std::convertible_to<DistanceMetric>;
    { m.finish(m.step(0.0, *a, *a, n)) } -> std::same_as<f64>;
};

// out[p] = the accumulation of m.distance(x + p * dim, c, dim) for the `count` consecutive
// points at x, m.finish not yet applied (so m.finish(out[p]) is that distance to the bit).
// Eight points at a time, each with its own accumulator, so their dependent chains of
// additions overlap; every accumulation keeps the single-point order of operations.
template <class M>
void accumulations_to(const M& m, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
    constexpr u64 B = 8;
    u64 p = 0;
    for (; p + B <= count; p += B, x += B * dim) {
        f64 s[B];
        for (u64 l = 0; l < B; ++l) s[l] = 0.0;
        for (u64 i = 0; i < dim; ++i) {
            const f64 ci = c[i];
            for (u64 l = 0; l < B; ++l) s[l] = m.step(s[l], x[l * dim + i], ci, i);
        }
        for (u64 l = 0; l < B; ++l) out[p + l] = s[l];
    }
    for (; p < count; ++p, x += dim) {
        f64 s = 0.0;
        for (u64 i = 0; i < dim; ++i) s = m.step(s, x[i], c[i], i);
        out[p] = s;
    }
}

// out[p] = m.distance(x + p * dim, c, dim): the accumulations, then each finished.
template <class M>
void distances_to(const M& m, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
    accumulations_to(m, x, count, dim, c, out);
    for (u64 p = 0; p < count; ++p) out[p] = m.finish(out[p]);
}

// The largest accumulation whose finished distance is at most r (finish never decreases), so
// that `s <= limit` decides `m.finish(s) <= r` without finishing; r is not NaN.
template <class M>
f64 accumulation_limit(const M& m, f64 r) noexcept {
    constexpr f64 inf = std::numeric_limits<f64>::infinity();
    f64 x = m.finish(r) == r ? r : r * r;
    while (x > 0.0 && m.finish(x) > r) x = std::nextafter(x, -inf);
    while (x < inf && m.finish(std::nextafter(x, inf)) <= r) x = std::nextafter(x, inf);
    return x;
}

// A metric behind function pointers, for code that gains nothing from a copy per metric: the
// tree builds, whose time goes into these loops a block of points at a time. The loops are
// the metric's own, so every distance has the bits its type gives.
struct ErasedMetric {
    using Loop = void (*)(const void*, const f64*, u64, u64, const f64*, f64*) noexcept;
    const void* self;
    Loop accumulations, distances;
    f64 (*limit)(const void*, f64) noexcept;

    template <class M>
    static ErasedMetric of(const M& m) noexcept {
        return {&m,
                [](const void* p, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
                    accumulations_to(*static_cast<const M*>(p), x, count, dim, c, out);
                },
                [](const void* p, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
                    distances_to(*static_cast<const M*>(p), x, count, dim, c, out);
                },
                [](const void* p, f64 r) noexcept { return accumulation_limit(*static_cast<const M*>(p), r); }};
    }
};

inline void accumulations_to(const ErasedMetric& m, const f64* x, u64 count, u64 dim, const f64* c,
                             f64* out) noexcept {
    m.accumulations(m.self, x, count, dim, c, out);
}
inline void distances_to(const ErasedMetric& m, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
    m.distances(m.self, x, count, dim, c, out);
}
inline f64 accumulation_limit(const ErasedMetric& m, f64 r) noexcept { return m.limit(m.self, r); }

inline void accumulations_to(const AnyPeriodic& m, const f64* x, u64 count, u64 dim, const f64* c,
                             f64* out) noexcept {
    m.with([&](const auto& p) { accumulations_to(p, x, count, dim, c, out); });
}
inline void distances_to(const AnyPeriodic& m, const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
    m.with([&](const auto& p) { distances_to(p, x, count, dim, c, out); });
}
inline f64 accumulation_limit(const AnyPeriodic& m, f64 r) noexcept {
    return m.with([&](const auto& p) { return accumulation_limit(p, r); });
}

// The same for a metric without state.
template <class M>
void distances_to(const f64* x, u64 count, u64 dim, const f64* c, f64* out) noexcept {
    distances_to(M{}, x, count, dim, c, out);
}

// Calls f(m) with a metric object of the type `id` names: the one dispatch of a query.
template <class F>
decltype(auto) with_metric(DistanceMetric id, F&& f) {
    switch (id) {
        case DistanceMetric::Manhattan: return f(ManhattanMetric{});
        case DistanceMetric::Chebyshev: return f(ChebyshevMetric{});
        case DistanceMetric::Euclidean: break;
    }
    return f(EuclideanMetric{});
}

// The same over a torus when `box` is not null (one side length per component).
template <class F>
decltype(auto) with_metric(DistanceMetric id, const f64* box, F&& f) {
    if (box) return f(AnyPeriodic{id, box});
    return with_metric(id, std::forward<F>(f));
}

f64 compute_distance(DistanceMetric metric, const f64* a, const f64* b, u64 n) noexcept;

// ---------------------------------------------------------------------------------------------
// Kernels of a scaled distance u = d / h. `negligible(u)` is the density recursion's test for
// a node whose nearest possible point already weighs (almost) nothing.

struct GaussianKernel {
    static constexpr KernelType id = KernelType::Gaussian;
    static f64 value(f64 u) noexcept { return std::exp((u * -0.5) * u); }
    // value(u) < 1e-10 decided without the exponential far from the threshold ln 1e-10 =
    // -23.0259: the margins (2.5 % in the value) dwarf the library's error of under one ulp.
    static bool negligible(f64 u) noexcept {
        const f64 t = (u * -0.5) * u;
        if (t > -23.0) return false;
        if (t < -23.05) return true;
        return std::exp(t) < 1e-10;  // also NaN: not negligible
    }
    // value(d[j] / h) for a buffer of distances, in place: the exponentials a vector at a time,
    // with the C library's bits (ops/vmath.hpp).
    static void values(f64* d, u64 n, f64 h) noexcept {
        for (u64 j = 0; j < n; ++j) {
            const f64 u = d[j] / h;
            d[j] = (u * -0.5) * u;
        }
        vmath::exp(d, d, n);
    }
};

struct EpanechnikovKernel {
    static constexpr KernelType id = KernelType::Epanechnikov;
    static f64 value(f64 u) noexcept { return u < 1.0 ? (1.0 - u * u) * 0.75 : 0.0; }
    static bool negligible(f64 u) noexcept { return !(u < 1.0) || (1.0 - u * u) * 0.75 < 1e-10; }
};

struct UniformKernel {
    static constexpr KernelType id = KernelType::Uniform;
    static f64 value(f64 u) noexcept { return u < 1.0 ? 0.5 : 0.0; }
    static bool negligible(f64 u) noexcept { return !(u < 1.0); }
};

struct TriangularKernel {
    static constexpr KernelType id = KernelType::Triangular;
    static f64 value(f64 u) noexcept { return u < 1.0 ? 1.0 - u : 0.0; }
    static bool negligible(f64 u) noexcept { return !(u < 1.0) || 1.0 - u < 1e-10; }
};

// The three kernels of compact support as one type that knows at run time which it is: the
// density searches are the same code for all three but for these few lines, so they are
// compiled once for the three (and once for the Gaussian). The values are the kernels' own.
struct CompactKernel {
    KernelType id;

    template <class F>
    [[gnu::always_inline]] decltype(auto) with(F&& f) const {
        switch (id) {
            case KernelType::Uniform: return f(UniformKernel{});
            case KernelType::Triangular: return f(TriangularKernel{});
            default: return f(EpanechnikovKernel{});
        }
    }
    [[gnu::always_inline]] f64 value(f64 u) const noexcept {
        switch (id) {
            case KernelType::Uniform: return UniformKernel::value(u);
            case KernelType::Triangular: return TriangularKernel::value(u);
            default: return EpanechnikovKernel::value(u);
        }
    }
    // Each kernel's own test, !(u < 1) || value(u) < 1e-10, with the choice made only inside
    // the support.
    [[gnu::always_inline]] bool negligible(f64 u) const noexcept { return !(u < 1.0) || value(u) < 1e-10; }
    // The choice made once per leaf, not once per point.
    void values(f64* d, u64 n, f64 h) const noexcept {
        with([&](auto k) {
            for (u64 j = 0; j < n; ++j) d[j] = k.value(d[j] / h);
        });
    }
};

// Calls f(kernel) with the Gaussian's type or the compact kernels' shared one.
template <class F>
decltype(auto) with_density_kernel(KernelType k, F&& f) {
    if (k == KernelType::Gaussian) return f(GaussianKernel{});
    return f(CompactKernel{k});
}

// Adds the kernel values of n distances to acc, one at a time in order: the kernel over a
// leaf, the density's only bulk evaluation. The values are formed in place first, in a loop
// of their own, which a vector exponential can replace without touching the sum.
template <class K>
f64 add_kernel_values(const K& kernel, f64 acc, f64* d, u64 n, f64 h) noexcept {
    if constexpr (requires { kernel.values(d, n, h); })
        kernel.values(d, n, h);
    else
        for (u64 j = 0; j < n; ++j) d[j] = kernel.value(d[j] / h);
    for (u64 j = 0; j < n; ++j) acc = acc + d[j];
    return acc;
}

// The same with each value multiplied by its weight w[j] before it is added.
template <class K>
f64 add_weighted_kernel_values(const K& kernel, f64 acc, f64* d, const f64* w, u64 n, f64 h) noexcept {
    if constexpr (requires { kernel.values(d, n, h); })
        kernel.values(d, n, h);
    else
        for (u64 j = 0; j < n; ++j) d[j] = kernel.value(d[j] / h);
    for (u64 j = 0; j < n; ++j) acc = acc + w[j] * d[j];
    return acc;
}

template <class F>
decltype(auto) with_kernel(KernelType k, F&& f) {
    switch (k) {
        case KernelType::Epanechnikov: return f.template operator()<EpanechnikovKernel>();
        case KernelType::Uniform: return f.template operator()<UniformKernel>();
        case KernelType::Triangular: return f.template operator()<TriangularKernel>();
        case KernelType::Gaussian: break;
    }
    return f.template operator()<GaussianKernel>();
}

f64 kernel_value(KernelType kernel, f64 u) noexcept;

}  // namespace veltrix
