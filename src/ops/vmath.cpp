#include "ops/vmath.hpp"

#include <immintrin.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <vector>

#include "ops/vmath_tables.hpp"

namespace veltrix::vmath {

// ---- AVX2 + FMA: four lanes ------------------------------------------------------------------
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace detail::avx2 {
namespace {

struct V {
    static constexpr int W = 4;
    using D = __m256d;
    using I = __m256i;
    using M = __m256i;  // all ones in a selected lane
    static D load(const f64* p) { return _mm256_loadu_pd(p); }
    static void store(f64* p, D v) { _mm256_storeu_pd(p, v); }
    static D dup(f64 v) { return _mm256_set1_pd(v); }
    static I idup(u64 v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }    // a b + c, one rounding
    static D fnma(D a, D b, D c) { return _mm256_fnmadd_pd(a, b, c); }  // c - a b, one rounding
    static D dabs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static I bits(D v) { return _mm256_castpd_si256(v); }
    static D from_bits(I v) { return _mm256_castsi256_pd(v); }
    static I iadd(I a, I b) { return _mm256_add_epi64(a, b); }
    static I isub(I a, I b) { return _mm256_sub_epi64(a, b); }
    static I iand(I a, I b) { return _mm256_and_si256(a, b); }
    template <int n>
    static I shl(I v) { return _mm256_slli_epi64(v, n); }
    template <int n>
    static I shr(I v) { return _mm256_srli_epi64(v, n); }
    // The signed top 12 bits of each lane, exactly as a double: the high half of every lane
    // shifted arithmetically by 20 holds them.
    static D high12_to_double(I v) {
        const I s = _mm256_permutevar8x32_epi32(_mm256_srai_epi32(v, 20), _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
        return _mm256_cvtepi32_pd(_mm256_castsi256_si128(s));
    }
    // As on AVX-512 below: a zeroed destination and an opaque full mask.
    static __m256i all_lanes() {
        __m256i m = _mm256_set1_epi64x(-1);
        asm("" : "+x"(m));
        return m;
    }
    static D gather(const f64* base, I idx) {
        return _mm256_mask_i64gather_pd(_mm256_setzero_pd(), base, idx, _mm256_castsi256_pd(all_lanes()), 8);
    }
    static I gather_bits(const u64* base, I idx) {
        return _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long*>(base), idx,
                                           all_lanes(), 8);
    }
    static M igt(I a, I b) { return _mm256_cmpgt_epi64(a, b); }
    static M ieq(I a, I b) { return _mm256_cmpeq_epi64(a, b); }
    static M dlt(D a, D b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_LT_OQ)); }
    static M dge(D a, D b) { return _mm256_castpd_si256(_mm256_cmp_pd(a, b, _CMP_GE_OQ)); }
    static M mand(M a, M b) { return _mm256_and_si256(a, b); }
    static M mor(M a, M b) { return _mm256_or_si256(a, b); }
    static M mandnot(M a, M b) { return _mm256_andnot_si256(a, b); }  // b and not a
    static unsigned mbits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(m))); }
    static D select(M m, D a, D b) { return _mm256_blendv_pd(a, b, _mm256_castsi256_pd(m)); }  // b where m
};

#include "ops/vmath_kernel.inc"

}  // namespace
}  // namespace detail::avx2
#pragma GCC pop_options

// ---- AVX-512: eight lanes (compiled everywhere, run only where the CPU has it) -----------------
#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl")
// GCC 12's AVX-512 headers start some intrinsics from a deliberately undefined register.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace detail::avx512 {
namespace {

struct V {
    static constexpr int W = 8;
    using D = __m512d;
    using I = __m512i;
    using M = __mmask8;
    static D load(const f64* p) { return _mm512_loadu_pd(p); }
    static void store(f64* p, D v) { _mm512_storeu_pd(p, v); }
    static D dup(f64 v) { return _mm512_set1_pd(v); }
    static I idup(u64 v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D fnma(D a, D b, D c) { return _mm512_fnmadd_pd(a, b, c); }
    static D dabs(D a) { return _mm512_abs_pd(a); }
    static I bits(D v) { return _mm512_castpd_si512(v); }
    static D from_bits(I v) { return _mm512_castsi512_pd(v); }
    static I iadd(I a, I b) { return _mm512_add_epi64(a, b); }
    static I isub(I a, I b) { return _mm512_sub_epi64(a, b); }
    static I iand(I a, I b) { return _mm512_and_si512(a, b); }
    template <int n>
    static I shl(I v) { return _mm512_slli_epi64(v, n); }
    template <int n>
    static I shr(I v) { return _mm512_srli_epi64(v, n); }
    static D high12_to_double(I v) { return _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srai_epi64(v, 52))); }
    // A gather merges into its destination even under a full mask, so it waits for that
    // register's last write: GCC picks one written late in the previous block, which chained
    // the blocks (log 1.4 ns per element instead of 1.0, by the build's flags). An opaque mask
    // keeps the merge, from a zeroed register (a write that depends on nothing).
    static __mmask8 all_lanes() {
        __mmask8 m = 0xff;
        asm("" : "+k"(m));
        return m;
    }
    static D gather(const f64* base, I idx) {
        return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), all_lanes(), idx, base, 8);
    }
    static I gather_bits(const u64* base, I idx) {
        return _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), all_lanes(), idx, base, 8);
    }
    static M igt(I a, I b) { return _mm512_cmpgt_epi64_mask(a, b); }
    static M ieq(I a, I b) { return _mm512_cmpeq_epi64_mask(a, b); }
    static M dlt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M dge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M mand(M a, M b) { return static_cast<M>(a & b); }
    static M mor(M a, M b) { return static_cast<M>(a | b); }
    static M mandnot(M a, M b) { return static_cast<M>(~a & b); }
    static unsigned mbits(M m) { return m; }
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, a, b); }
};

#include "ops/vmath_kernel.inc"

}  // namespace
}  // namespace detail::avx512
#pragma GCC diagnostic pop
#pragma GCC pop_options

// ---- Guard and dispatch -------------------------------------------------------------------------
namespace detail {
namespace {

f64 from_bits(u64 b) { return std::bit_cast<f64>(b); }

// Inputs where the host's FMA build and its plain build round differently. exp, log near 1:
// printed by `vmath_check --witnesses` (the kernels with every fused operation rounded twice
// differ there), and this machine's plain variants of the C library differ there too. log's
// table range: found by calling the C library's plain variant directly (its fused operations
// are elsewhere exact), so they differ there from the FMA build.
constexpr u64 exp_fused_witnesses[] = {0xc072cd848585322c, 0x407f487d022f6040, 0x4084bedd7c65e398,
                                       0xc0790d622a5edfb9, 0x4068ecdfa9d3f688, 0x4076afd12de27668,
                                       0xc066d8cbb474add0, 0x4081e8e3cad71622};
constexpr u64 log_fused_witnesses[] = {0x407b3ad26d699773, 0x40896d34ac3ab44b, 0x408742307cd8a213,
                                       0x4070da67e0dc4f11, 0x3feebfd6be9e61cc, 0x3fee2ccf962a2a88,
                                       0x3ff0edf245ed05f6, 0x3fee205ed2c02417, 0x3ff0f52505c5c9da,
                                       0x3fee30482bb11041, 0x3feea3117a21dc0c, 0x3fef1aeaa2a45418};

}  // namespace

// Every table index (at its centre and near both rounding edges of k, for several binades),
// the range edges on both sides, and the witnesses of fusion.
std::vector<f64> exp_probes() {
    std::vector<f64> p;
    const f64 step = 0x1.62e42fefa39efp-8;  // ln2/128
    for (int k = 0; k < 128; ++k)
        for (int j : {-1060, -1030, -800, -8, -1, 0, 5, 760, 1020})  // subnormal to huge results
            for (f64 f : {0.0, 0.499, -0.499}) p.push_back((k + 128 * j + f) * step);
    for (u64 edge : {u64{0x3c90000000000000},  // 2^-54: tiny arguments below
                     u64{0x4080000000000000},  // 512: rescaled scale above
                     u64{0x40862e42fefa39ef},  // largest finite result
                     u64{0x4086232bdd7abcd2},  // 708.39...: mirror of the smallest normal result
                     u64{0x40874910d52d3051},  // 745.13...: mirror of the smallest subnormal result
                     u64{0x4090000000000000},  // 1024
                     u64{0x3ff0000000000000}})
        for (u64 sign : {u64{0}, u64{1} << 63})
            for (u64 b : {edge - 1, edge, edge + 1}) p.push_back(from_bits(sign | b));
    for (u64 b : exp_fused_witnesses) p.push_back(from_bits(b));
    return p;
}

std::vector<f64> log_probes() {
    std::vector<f64> p;
    for (u64 i = 0; i < 128; ++i)
        for (u64 e : {u64{0x001}, u64{0x3fe}, u64{0x3ff}, u64{0x432}, u64{0x7fe}})  // binades
            for (u64 m : {u64{0}, u64{1} << 44, (u64{1} << 45) - 1}) {
                // Mantissa bits 45..51 select the table entry from 0x1.6p-1 upwards.
                const u64 base = (u64{0x3fe6000000000000} + (i << 45) + m) & 0x000fffffffffffff;
                p.push_back(from_bits(e << 52 | base));
            }
    for (u64 edge : {u64{0x3fee000000000000},   // 1 - 2^-4: polynomial near 1 starts
                     u64{0x3ff1090000000000},   // 1 + 0x1.09p-4: and ends
                     u64{0x3ff0000000000000},   // 1
                     u64{0x0010000000000000},   // smallest normal
                     u64{0x7fefffffffffffff}})  // largest finite
        for (u64 b : {edge - 1, edge, edge + 1}) p.push_back(from_bits(b));
    for (u64 b : log_fused_witnesses) p.push_back(from_bits(b));
    return p;
}

namespace {

bool same_bits(const std::vector<f64>& a, const std::vector<f64>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<u64>(a[i]) != std::bit_cast<u64>(b[i])) return false;
    return true;
}

}  // namespace

const Tables& host_tables() noexcept {
    static const Tables t{tables::exp_table, &tables::log_table[0].invc};
    return t;
}

bool kernels_supported(Isa isa) noexcept {
    // The kernels fuse; the host library picks its fused variant only with FMA and AVX2 too.
    return isa != Isa::generic && isa_supported(isa) && __builtin_cpu_supports("fma");
}

bool probes_agree(Isa isa, const Tables& t) noexcept {
    if (!kernels_supported(isa)) return false;
    // The probes raise errno (overflow edges); the caller's value is restored afterwards.
    const int saved = errno;
    const std::vector<f64> xe = exp_probes(), xl = log_probes();
    std::vector<f64> want(xe.size()), got(xe.size());
    exp_with(Isa::generic, t, xe.data(), want.data(), xe.size());
    exp_with(isa, t, xe.data(), got.data(), xe.size());
    bool ok = same_bits(want, got);
    want.resize(xl.size());
    got.resize(xl.size());
    log_with(Isa::generic, t, xl.data(), want.data(), xl.size());
    log_with(isa, t, xl.data(), got.data(), xl.size());
    ok = ok && same_bits(want, got);
    errno = saved;
    return ok;
}

Isa choose_isa(const Tables& t) noexcept {
    for (Isa isa : {Isa::avx512, Isa::avx2})
        if (probes_agree(isa, t)) return isa;
    return Isa::generic;
}

void exp_with(Isa isa, const Tables& t, const f64* in, f64* out, std::size_t n) noexcept {
    switch (isa) {
        case Isa::avx512: return avx512::exp_buffer(t, in, out, n);
        case Isa::avx2: return avx2::exp_buffer(t, in, out, n);
        case Isa::generic: break;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

void log_with(Isa isa, const Tables& t, const f64* in, f64* out, std::size_t n) noexcept {
    switch (isa) {
        case Isa::avx512: return avx512::log_buffer(t, in, out, n);
        case Isa::avx2: return avx2::log_buffer(t, in, out, n);
        case Isa::generic: break;
    }
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
