// Instruction sets chosen at run time. The default build targets any x86-64; kernels that
// can use wider vectors are compiled once per set with [[gnu::target]] and picked here.
// Every variant performs each element's operations in the same order, so the choice changes
// speed, never bits.
#pragma once

#include <string_view>

namespace veltrix {

enum class Isa { generic, avx2, avx512 };

// What the [[gnu::target]] attribute of each set's kernels says.
#define VELTRIX_TARGET_AVX2 [[gnu::target("avx2")]]
// AVX-512VL is required as well: it gives 256-bit code all 32 vector registers.
#define VELTRIX_TARGET_AVX512 [[gnu::target("avx2,avx512f,avx512vl")]]

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

// Calls f(std::integral_constant-like tag) for the chosen set: `f.template operator()<I>()`.
template <class F>
decltype(auto) dispatch_isa(Isa isa, F&& f) {
    switch (isa) {
        case Isa::avx512: return f.template operator()<Isa::avx512>();
        case Isa::avx2: return f.template operator()<Isa::avx2>();
        default: return f.template operator()<Isa::generic>();
    }
}

}  // namespace veltrix
