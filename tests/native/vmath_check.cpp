// Holds the vector exp and log to the C library's scalar calls bit for bit (and errno), on every
// path this CPU can run, over 10^8 inputs per function (VMATH_CHECK_COUNT overrides); checks that
// the guard refuses a corrupted table and that its fusion witnesses tell fused from plain builds.
//
// `vmath_check --witnesses` prints inputs where the kernels with every fused operation rounded
// in two steps differ from the host library: the fusion witnesses of the guard's probe set.
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ops/vmath.hpp"
#include "ops/vmath_tables.hpp"
#include "spatial/common/metric.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;
using vmath::detail::Tables;

namespace {

u64 bits(f64 x) { return std::bit_cast<u64>(x); }

// One-lane operations: the kernels as scalar code, with fused operations either fused or
// rounded twice (what a build without FMA computes).
template <bool Fused>
struct Lane {
    static constexpr int W = 1;
    using D = f64;
    using I = u64;
    using M = bool;
    static D load(const f64* p) { return *p; }
    static void store(f64* p, D v) { *p = v; }
    static D dup(f64 v) { return v; }
    static I idup(u64 v) { return v; }
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D fma(D a, D b, D c) {
        if constexpr (Fused) return std::fma(a, b, c);
        return a * b + c;  // the build does not contract
    }
    static D fnma(D a, D b, D c) {
        if constexpr (Fused) return std::fma(-a, b, c);
        return c - a * b;
    }
    static D dabs(D a) { return std::fabs(a); }
    static I bits(D v) { return std::bit_cast<u64>(v); }
    static D from_bits(I v) { return std::bit_cast<f64>(v); }
    static I iadd(I a, I b) { return a + b; }
    static I isub(I a, I b) { return a - b; }
    static I iand(I a, I b) { return a & b; }
    template <int n>
    static I shl(I v) { return v << n; }
    template <int n>
    static I shr(I v) { return v >> n; }
    static D high12_to_double(I v) { return static_cast<f64>(static_cast<i64>(v) >> 52); }
    static D gather(const f64* base, I idx) { return base[idx]; }
    static I gather_bits(const u64* base, I idx) { return base[idx]; }
    static M igt(I a, I b) { return static_cast<i64>(a) > static_cast<i64>(b); }
    static M ieq(I a, I b) { return a == b; }
    static M dlt(D a, D b) { return a < b; }
    static M dge(D a, D b) { return a >= b; }
    static M mand(M a, M b) { return a && b; }
    static M mor(M a, M b) { return a || b; }
    static M mandnot(M a, M b) { return !a && b; }
    static unsigned mbits(M m) { return m ? 1u : 0u; }
    static D select(M m, D a, D b) { return m ? b : a; }
};

namespace tables = vmath::tables;

namespace fused {
using V = Lane<true>;
#include "ops/vmath_kernel.inc"
}  // namespace fused
namespace plain {
using V = Lane<false>;
#include "ops/vmath_kernel.inc"
}  // namespace plain

// Inputs where the replica's lane result is defined: the kernel keeps it.
template <class Block>
bool kept(Block block, f64 x, f64& y) {
    unsigned rest;
    y = block(x, vmath::detail::host_tables(), rest);
    return rest == 0;
}

void print_witnesses() {
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<f64> exp_arg(-700.0, 700.0), log_arg(0.0, 1000.0), near_one(0.94, 1.06);
    // exp over its main range; log over its table range and near 1 (the second polynomial).
    for (int f = 0; f < 3; ++f) {
        int found = 0;
        std::printf("%s:", f == 0 ? "exp" : f == 1 ? "log" : "log near 1");
        for (int i = 0; i < 10000000 && found < 8; ++i) {
            const f64 x = f == 0 ? exp_arg(rng) : f == 1 ? log_arg(rng) : near_one(rng);
            f64 a, b;
            const bool ka = f == 0 ? kept(fused::exp_block, x, a) : kept(fused::log_block, x, a);
            const bool kb = f == 0 ? kept(plain::exp_block, x, b) : kept(plain::log_block, x, b);
            const f64 host = f == 0 ? std::exp(x) : std::log(x);
            if (ka && kb && bits(a) == bits(host) && bits(b) != bits(host)) {
                std::printf(" 0x%016llx", static_cast<unsigned long long>(bits(x)));
                ++found;
            }
        }
        std::printf("\n");
    }
}

// Lane replicas against the host on random inputs: the fused one must agree everywhere it keeps
// a lane, the plain one must not (else the probes could not tell the builds apart).
void replicas() {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<f64> exp_arg(-700.0, 700.0), log_arg(0.0, 1000.0);
    long plain_exp = 0, plain_log = 0;
    for (int i = 0; i < 1000000; ++i) {
        f64 y;
        const f64 xe = exp_arg(rng), xl = log_arg(rng);
        if (kept(fused::exp_block, xe, y)) expect(bits(y) == bits(std::exp(xe)), "fused lane exp " + std::to_string(xe));
        if (kept(fused::log_block, xl, y)) expect(bits(y) == bits(std::log(xl)), "fused lane log " + std::to_string(xl));
        if (kept(plain::exp_block, xe, y)) plain_exp += bits(y) != bits(std::exp(xe));
        if (kept(plain::log_block, xl, y)) plain_log += bits(y) != bits(std::log(xl));
        if (failures > 10) return;
    }
    std::printf("plain replica differs from the host on %ld exp and %ld log of 10^6 inputs\n", plain_exp, plain_log);
    // The guard's probes must contain such inputs, and the fused replica must match them all.
    long probe_exp = 0, probe_log = 0;
    for (f64 x : vmath::detail::exp_probes()) {
        f64 a, b;
        if (kept(fused::exp_block, x, a)) expect(bits(a) == bits(std::exp(x)), "fused lane exp probe");
        if (kept(plain::exp_block, x, b)) probe_exp += bits(b) != bits(std::exp(x));
    }
    for (f64 x : vmath::detail::log_probes()) {
        f64 a, b;
        if (kept(fused::log_block, x, a)) expect(bits(a) == bits(std::log(x)), "fused lane log probe");
        if (kept(plain::log_block, x, b)) probe_log += bits(b) != bits(std::log(x));
    }
    expect(probe_exp > 0 && probe_log > 0, "the probes tell a build without fusion apart");
}

// Inputs of one chunk: uniform over the main ranges, random bit patterns, and edges.
void fill(std::vector<f64>& x, int kind, std::mt19937_64& rng) {
    switch (kind) {
        case 0: {
            std::uniform_real_distribution<f64> d(-745.5, 710.0);
            for (f64& v : x) v = d(rng);
            break;
        }
        case 1: {
            std::uniform_real_distribution<f64> d(0.0, 1000.0);
            for (f64& v : x) v = d(rng);
            break;
        }
        case 2:
            for (f64& v : x) v = std::bit_cast<f64>(rng());
            break;
        default: {
            // Neighbours of every power of two, both signs, and the special values.
            std::size_t i = 0;
            for (int e = -1074; e <= 1023 && i + 12 < x.size(); ++e) {
                const f64 p = std::ldexp(1.0, e);
                for (f64 s : {1.0, -1.0})
                    for (f64 v : {std::nextafter(p, 0.0), p, std::nextafter(p, HUGE_VAL)}) x[i++] = s * v;
            }
            for (f64 v : std::initializer_list<f64>{0.0, -0.0, HUGE_VAL, -HUGE_VAL, NAN, -NAN, 709.782712893384, 709.7827128933841,
                          -708.3964185322641, -745.1332191019411, -745.1332191019412, 1.0})
                if (i < x.size()) x[i++] = v;
            while (i < x.size()) x[i] = x[i % 100], ++i;
        }
    }
}

void paths(long count) {
    const Tables& host = vmath::detail::host_tables();
    std::vector<Isa> isas;
    for (Isa isa : {Isa::avx2, Isa::avx512}) {
        if (vmath::detail::kernels_supported(isa))
            isas.push_back(isa);
        else
            std::printf("%s kernels not run: the CPU lacks them\n", std::string(isa_name(isa)).c_str());
    }
    std::mt19937_64 rng(42);
    const std::size_t chunk = 1 << 20;
    std::vector<f64> x(chunk), want(chunk), got(chunk);
    long done = 0;
    for (int round = 0; done < count; ++round) {
        fill(x, round % 4 == 3 && round > 3 ? 2 : round % 4, rng);
        // Odd lengths exercise the padded tail.
        const std::size_t n = std::min<std::size_t>(chunk - (round % 7), count - done);
        for (int f = 0; f < 2; ++f) {
            errno = 0;
            (f == 0 ? vmath::detail::exp_with : vmath::detail::log_with)(Isa::generic, host, x.data(), want.data(), n);
            const int want_errno = errno;
            for (Isa isa : isas) {
                errno = 0;
                (f == 0 ? vmath::detail::exp_with : vmath::detail::log_with)(isa, host, x.data(), got.data(), n);
                expect(errno == want_errno, "errno");
                for (std::size_t i = 0; i < n; ++i)
                    if (bits(got[i]) != bits(want[i])) {
                        expect(false, std::string(f == 0 ? "exp" : "log") + " " + std::string(isa_name(isa)) +
                                          " at " + std::to_string(x[i]));
                        if (failures > 10) return;
                    }
                // In place, as the element-wise transforms use it.
                std::vector<f64> y(x.begin(), x.begin() + n);
                (f == 0 ? vmath::detail::exp_with : vmath::detail::log_with)(isa, host, y.data(), y.data(), n);
                expect(std::memcmp(y.data(), want.data(), n * sizeof(f64)) == 0, "in place");
            }
        }
        done += n;
    }
    std::printf("%ld inputs per function on %zu vector path(s)\n", done, isas.size());
}

void guard() {
    const Tables& host = vmath::detail::host_tables();
    const Isa best = vmath::detail::kernels_supported(Isa::avx512) ? Isa::avx512
                     : vmath::detail::kernels_supported(Isa::avx2)  ? Isa::avx2
                                                                    : Isa::generic;
    expect(vmath::detail::choose_isa(host) == best, "guard keeps the vector path on the host tables");
    expect(vmath::active_isa() == best, "active path");
    // One wrong bit in one entry of either table must be enough to fall back.
    for (int which = 0; which < 4; ++which) {
        std::vector<u64> e(std::begin(tables::exp_table), std::end(tables::exp_table));
        std::vector<f64> l(&tables::log_table[0].invc, &tables::log_table[0].invc + 256);
        if (which == 0) e[2 * 77] = 0;        // a tail dropped
        if (which == 1) e[2 * 3 + 1] ^= 1;    // a head
        if (which == 2) l[2 * 100] = std::nextafter(l[2 * 100], 0.0);  // a 1/c
        if (which == 3) l[2 * 5 + 1] = std::nextafter(l[2 * 5 + 1], 1.0);  // a log c
        const Tables wrong{e.data(), l.data()};
        expect(vmath::detail::choose_isa(wrong) == Isa::generic, "guard refuses corrupted table " + std::to_string(which));
    }
}

// The density recursion's shortcut around exp for negligible nodes decides as exp does.
void gaussian_negligible() {
    std::vector<f64> us = {0.0, -0.0, HUGE_VAL, -HUGE_VAL, NAN, -7.0};
    for (f64 u = 6.7; u < 6.9; u += 1e-6) us.push_back(u);
    for (f64 u = 0.0; u < 40.0; u += 1e-3) us.push_back(u);
    for (f64 u : us)
        expect(GaussianKernel::negligible(u) == (std::exp((u * -0.5) * u) < 1e-10),
               "gaussian negligible at " + std::to_string(u));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--witnesses") == 0) {
        print_witnesses();
        return 0;
    }
    const char* env = std::getenv("VMATH_CHECK_COUNT");
    std::printf("active path: %s\n", std::string(vmath::path_name()).c_str());
    replicas();
    guard();
    gaussian_negligible();
    paths(env ? std::atol(env) : 100000000L);
    std::printf(failures ? "%d failures\n" : "ok\n", failures);
    return failures ? 1 : 0;
}
