#include "ops/vmath.hpp"

#include <cmath>

#include "ops/vmath_tables.hpp"

namespace veltrix::vmath {

namespace detail {

const Tables& host_tables() noexcept {
    static const Tables t{tables::exp_table, &tables::log_table[0].invc};
    return t;
}

bool kernels_supported(Isa) noexcept { return false; }
bool probes_agree(Isa, const Tables&) noexcept { return false; }
Isa choose_isa(const Tables&) noexcept { return Isa::generic; }

void exp_with(Isa, const Tables&, const f64* in, f64* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}
void log_with(Isa, const Tables&, const f64* in, f64* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

}  // namespace detail

Isa active_isa() noexcept {
    static const Isa isa = detail::choose_isa(detail::host_tables());
    return isa;
}

std::string_view path_name() noexcept {
    return active_isa() == Isa::generic ? "scalar" : isa_name(active_isa());
}

void exp(const f64* in, f64* out, std::size_t n) noexcept {
    detail::exp_with(active_isa(), detail::host_tables(), in, out, n);
}
void log(const f64* in, f64* out, std::size_t n) noexcept {
    detail::log_with(active_isa(), detail::host_tables(), in, out, n);
}

}  // namespace veltrix::vmath
