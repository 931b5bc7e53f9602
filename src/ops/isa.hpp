// Instruction sets chosen at run time. The default build targets any x86-64; kernels that
// can use wider vectors are compiled once per set with [[gnu::target]] and picked here.
// Every variant performs each element's operations in the same order, so the choice changes
// speed, never bits.
#pragma once

#include <cstring>
#include <string_view>

namespace veltrix {

enum class Isa { generic, avx2, avx512 };

// What the [[gnu::target]] attribute of each set's kernels says.
#define VELTRIX_TARGET_AVX2 [[gnu::target("avx2")]]
// AVX-512VL is required as well: it gives 256-bit code all 32 vector registers.
#define VELTRIX_TARGET_AVX512 [[gnu::target("avx2,avx512f,avx512vl")]]

// Kernel bodies are always inlined into the per-set entry points, so each copy is compiled
// for its own set and no vector ever crosses a call boundary.
#define VELTRIX_INLINE [[gnu::always_inline]] inline

// True when the running CPU can execute kernels of `isa`.
inline bool isa_supported(Isa isa) noexcept {
    switch (isa) {
        case Isa::avx512:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                   __builtin_cpu_supports("avx512vl");
        case Isa::avx2: return __builtin_cpu_supports("avx2");
        case Isa::generic: return true;
    }
    return false;
}

// The widest set the running CPU supports, detected once.
inline Isa best_isa() noexcept {
    static const Isa isa = isa_supported(Isa::avx512) ? Isa::avx512
                           : isa_supported(Isa::avx2) ? Isa::avx2
                                                      : Isa::generic;
    return isa;
}

inline std::string_view isa_name(Isa isa) noexcept {
    return isa == Isa::avx512 ? "avx512" : isa == Isa::avx2 ? "avx2" : "generic";
}

// ---------------------------------------------------------------------------------------
// Vector types. Two lanes are plain SSE2 (always present on x86-64); four- and eight-lane
// vectors may only be operated on inside functions built for AVX2 and AVX-512. Lane-wise
// `+ - * /` are single IEEE operations per lane, and the build never contracts them to FMA.
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

// The natural vector of each set: `VecOf<I>::type` with `VecOf<I>::lanes` doubles.
template <Isa I>
struct VecOf {
    using type = v2d;
    static constexpr int lanes = 2;
};
template <>
struct VecOf<Isa::avx2> {
    using type = v4d;
    static constexpr int lanes = 4;
};
template <>
struct VecOf<Isa::avx512> {
    using type = v8d;
    static constexpr int lanes = 8;
};

// Unaligned loads and stores (memcpy compiles to one vector move).
template <class V>
VELTRIX_INLINE V vload(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
VELTRIX_INLINE void vstore(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// ---------------------------------------------------------------------------------------
// Dispatch. `dispatch_isa(isa, f)` calls `f.template operator()<I>()` for the chosen set from
// inside a function compiled for that set; everything f calls is inlined there (flatten), so
// a generic template body becomes that set's kernel.
namespace isa_detail {
template <class F>
[[gnu::flatten]] decltype(auto) run_generic(F& f) {
    return f.template operator()<Isa::generic>();
}
template <class F>
VELTRIX_TARGET_AVX2 [[gnu::flatten]] decltype(auto) run_avx2(F& f) {
    return f.template operator()<Isa::avx2>();
}
template <class F>
VELTRIX_TARGET_AVX512 [[gnu::flatten]] decltype(auto) run_avx512(F& f) {
    return f.template operator()<Isa::avx512>();
}
}  // namespace isa_detail

template <class F>
decltype(auto) dispatch_isa(Isa isa, F&& f) {
    switch (isa) {
        case Isa::avx512: return isa_detail::run_avx512(f);
        case Isa::avx2: return isa_detail::run_avx2(f);
        default: return isa_detail::run_generic(f);
    }
}

// The same for the widest set this CPU runs, but at most `widest`: kernels that gain nothing
// from eight lanes skip the AVX-512 copy.
template <class F>
decltype(auto) dispatch_best(F&& f, Isa widest = Isa::avx512) {
    const Isa isa = best_isa();
    return dispatch_isa(static_cast<int>(isa) > static_cast<int>(widest) ? widest : isa, f);
}

}  // namespace veltrix
