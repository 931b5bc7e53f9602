// Throughput probe for one core: the no-FMA multiply+add peak, the FMA peak, the dependent
// add bound, the streaming-read bandwidth and register tiles of the matrix product, each for
// the instruction sets this CPU runs, and the core's clock. benchmarks/peak.py compiles and
// runs it:
//
//     g++ -O3 -std=c++20 -ffp-contract=off -fno-fast-math benchmarks/peak_probe.cpp -o probe
//     ./probe [seconds]
//
// Prints one `key value` line per figure (GFLOP/s, ns, GB/s, GHz). Every figure is the
// fifth-best of short trials on the thread's CPU clock, taken in rounds that visit every
// figure in turn for `seconds` of wall time (1.5 by default). On a virtual machine the core
// can be shared with work the guest does not see (most likely the other hardware thread of
// its physical core): on the 2-core AMD EPYC development machine the chains then ran at 10-12
// instead of 16 flops per cycle at an unchanged 3.24 GHz, for periods of seconds, and 40
// back-to-back trials of a few milliseconds in all could fall entirely into one (a no-FMA peak
// of 32 GFLOP/s instead of 51.7). Rounds spread over seconds catch the quiet moments, and
// `<figure>_share` says which fraction of the rounds came within 3 % of the best, so a run
// that never saw the core alone shows it.
//
// Chains start from distinct values read at run time and are multiplied by 1.0 / added 0.0
// known only at run time, so the compiler can neither fold equal chains into one nor drop the
// arithmetic; the values stay finite and normal, so no lane slows down.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <immintrin.h>
#include <functional>
#include <map>
#include <string>
#include <vector>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

#define AVX2 [[gnu::target("avx2,fma")]]
#define AVX512 [[gnu::target("avx2,fma,avx512f,avx512vl")]]

namespace {

volatile double g_one = 1.0, g_zero = 0.0;
volatile double g_sink;

double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double wall_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Seconds of one call of f() on the thread's CPU clock.
template <class F>
double seconds_of(F&& f) {
    const double t0 = now();
    f();
    return now() - t0;
}

// Four dependent one-cycle integer adds per iteration: the loop runs at the core's clock
// whoever shares the core's execution units. In assembly, so that no compiler folds them, and
// register to register: some cores fold chains of immediate adds at renaming (a Xeon here
// reported 11.7 GHz with `add $1`).
[[gnu::noinline]] long add_chain(long iters) {
    long x = 0;
    const long one = 1;
    for (long i = 0; i < iters; ++i)
        asm volatile("add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0" : "+r"(x) : "r"(one));
    return x;
}

template <class V>
inline V splat(double x) {
    V v;
    for (int i = 0; i < int(sizeof(V) / 8); ++i) v[i] = x;
    return v;
}

template <class V>
inline double lanes_sum(const V& v) {
    double s = 0;
    for (int i = 0; i < int(sizeof(V) / 8); ++i) s += v[i];
    return s;
}

// C multiply chains and C add chains, independent of each other: both pipe kinds busy.
template <class V, int C>
[[gnu::always_inline]] inline double mul_add_body(long iters) {
    const V m = splat<V>(g_one), z = splat<V>(g_zero);
    V x[C], y[C];
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) x[c] = splat<V>(1.0 + c), y[c] = splat<V>(2.0 + c);
    for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) {
            x[c] = x[c] * m;
            y[c] = y[c] + z;
        }
    }
    double s = 0;
    for (int c = 0; c < C; ++c) s += lanes_sum(x[c]) + lanes_sum(y[c]);
    return s;
}

// C fused chains. The intrinsics need the set's target on the function itself.
template <int C>
AVX2 double fma_avx2(long iters) {
    const __m256d m = _mm256_set1_pd(g_one), z = _mm256_set1_pd(g_zero);
    __m256d x[C];
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) x[c] = _mm256_set1_pd(1.0 + c);
    for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) x[c] = _mm256_fmadd_pd(x[c], m, z);
    }
    double s = 0;
    for (int c = 0; c < C; ++c) s += lanes_sum(v4d(x[c]));
    return s;
}

template <int C>
AVX512 double fma_avx512(long iters) {
    const __m512d m = _mm512_set1_pd(g_one), z = _mm512_set1_pd(g_zero);
    __m512d x[C];
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) x[c] = _mm512_set1_pd(1.0 + c);
    for (long i = 0; i < iters; ++i) {
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) x[c] = _mm512_fmadd_pd(x[c], m, z);
    }
    double s = 0;
    for (int c = 0; c < C; ++c) s += lanes_sum(v8d(x[c]));
    return s;
}

AVX2 double mul_add_avx2_6(long n) { return mul_add_body<v4d, 6>(n); }
AVX2 double mul_add_avx2_7(long n) { return mul_add_body<v4d, 7>(n); }
AVX2 double fma_avx2_10(long n) { return fma_avx2<10>(n); }
AVX2 double fma_avx2_12(long n) { return fma_avx2<12>(n); }
AVX512 double mul_add_avx512_8(long n) { return mul_add_body<v8d, 8>(n); }
AVX512 double mul_add_avx512_12(long n) { return mul_add_body<v8d, 12>(n); }
AVX512 double fma_avx512_12(long n) { return fma_avx512<12>(n); }
AVX512 double fma_avx512_16(long n) { return fma_avx512<16>(n); }

// One dependent scalar add per element: what a strictly ordered sum costs.
[[gnu::noinline]] double sequential_add(const double* x, long n) {
    double s = -0.0;
    for (long i = 0; i < n; ++i) s = s + x[i];
    return s;
}

// Reads a row-major matrix as matrix·vector does, eight rows side by side, with independent
// accumulators: eight streams keep the memory system busy where one would leave it idle
// between the prefetcher's requests, and the rows' spacing is the product's.
AVX2 [[gnu::noinline]] double stream_read(const double* x, long rows, long cols) {
    constexpr int S = 8;
    v4d acc[S] = {};
    for (long i = 0; i + S <= rows; i += S)
        for (long t = 0; t + 4 <= cols; t += 4)
            for (int c = 0; c < S; ++c) {
                v4d v;
                std::memcpy(&v, x + (i + c) * cols + t, 32);
                acc[c] = acc[c] + v;
            }
    double s = 0;
    for (auto& a : acc) s += lanes_sum(a);
    return s;
}

// A register tile of MR rows × NV vectors over packed panels: A is k × MR, B is k × NV·W,
// both t-major and L1-resident; each step broadcasts MR elements of A, loads NV vectors of B
// and issues MR·NV multiplies and as many adds.
template <class V, int MR, int NV>
[[gnu::always_inline]] inline double tile_body(const double* __restrict a, const double* __restrict b,
                                               long k, long reps) {
    constexpr int W = sizeof(V) / 8;
    double s = 0;
    for (long rep = 0; rep < reps; ++rep) {
        V acc[MR][NV];
#pragma GCC unroll 16
        for (int r = 0; r < MR; ++r)
#pragma GCC unroll 16
            for (int v = 0; v < NV; ++v) acc[r][v] = splat<V>(-0.0);
        for (long t = 0; t < k; ++t) {
            V bv[NV];
#pragma GCC unroll 16
            for (int v = 0; v < NV; ++v) std::memcpy(&bv[v], b + t * NV * W + v * W, sizeof(V));
#pragma GCC unroll 16
            for (int r = 0; r < MR; ++r) {
                const double ar = a[t * MR + r];
#pragma GCC unroll 16
                for (int v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + ar * bv[v];
            }
        }
        // Every sum is used, or the compiler drops the tiles' other columns.
        for (int r = 0; r < MR; ++r)
            for (int v = 0; v < NV; ++v) s += lanes_sum(acc[r][v]);
    }
    return s;
}

constexpr long tile_k = 256;

struct Tile {
    const char* name;
    int flops_per_step;
    double (*fn)(const double*, const double*, long, long);
    bool avx512;
};

#define TILE(isa, ATTR, V, MR, NV, W)                                                   \
    ATTR double tile_##isa##_##MR##x##NV(const double* a, const double* b, long k, long r) { \
        return tile_body<V, MR, NV>(a, b, k, r);                                          \
    }
TILE(avx2, AVX2, v4d, 6, 2, 4)
TILE(avx2, AVX2, v4d, 4, 3, 4)
TILE(avx2, AVX2, v4d, 5, 2, 4)
TILE(avx2, AVX2, v4d, 3, 4, 4)
TILE(avx2, AVX2, v4d, 8, 3, 4)
TILE(avx512, AVX512, v8d, 12, 2, 8)
TILE(avx512, AVX512, v8d, 8, 3, 8)
TILE(avx512, AVX512, v8d, 6, 4, 8)
// 256-bit vectors with AVX-512's 32 registers: 24 sums fit without spilling.
AVX512 double tile_avx512_ymm_8x3(const double* a, const double* b, long k, long r) {
    return tile_body<v4d, 8, 3>(a, b, k, r);
}

const Tile tiles[] = {
    {"tile_avx2_6x8", 2 * 6 * 8, tile_avx2_6x2, false},
    {"tile_avx2_4x12", 2 * 4 * 12, tile_avx2_4x3, false},
    {"tile_avx2_5x8", 2 * 5 * 8, tile_avx2_5x2, false},
    {"tile_avx2_3x16", 2 * 3 * 16, tile_avx2_3x4, false},
    {"tile_avx2_8x12_spills", 2 * 8 * 12, tile_avx2_8x3, false},
    {"tile_avx512_12x16", 2 * 12 * 16, tile_avx512_12x2, true},
    {"tile_avx512_8x24", 2 * 8 * 24, tile_avx512_8x3, true},
    {"tile_avx512_6x32", 2 * 6 * 32, tile_avx512_6x4, true},
    {"tile_avx512_ymm_8x12", 2 * 8 * 12, tile_avx512_ymm_8x3, true},
};

// One figure: a trial returns its value, and the best trial counts (the highest, or the
// lowest for times).
struct Figure {
    std::string key;
    std::function<double()> trial;
    bool lower_is_better = false;
    std::vector<double> values;
};

// GFLOP/s of one trial of a chain loop that does `flops` per iteration.
std::function<double()> chain_trial(double (*f)(long), double flops) {
    return [f, flops] {
        const long iters = 100000;
        return flops * double(iters) / seconds_of([&] { g_sink = f(iters); }) * 1e-9;
    };
}

}  // namespace

int main(int argc, char** argv) {
    const double window = argc > 1 ? std::atof(argv[1]) : 1.5;
    const bool has_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool has_avx512 = has_avx2 && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512vl");
    std::printf("isa_avx2 %d\nisa_avx512 %d\n", int(has_avx2), int(has_avx512));

    std::vector<Figure> figures;
    figures.push_back({"core_ghz", [] {
                           const long iters = 250000;
                           return 4.0 * double(iters) /
                                  seconds_of([&] { g_sink = double(add_chain(iters)); }) * 1e-9;
                       }});
    if (has_avx2) {
        // Six and seven chains of each kind: six cover a three-cycle latency on two pipes,
        // the seventh leaves slack for the scheduler.
        figures.push_back({"nofma_avx2", chain_trial(mul_add_avx2_6, 6 * 8.0)});
        figures.push_back({"nofma_avx2", chain_trial(mul_add_avx2_7, 7 * 8.0)});
        figures.push_back({"fma_avx2", chain_trial(fma_avx2_10, 10 * 8.0)});
        figures.push_back({"fma_avx2", chain_trial(fma_avx2_12, 12 * 8.0)});
    }
    if (has_avx512) {
        figures.push_back({"nofma_avx512", chain_trial(mul_add_avx512_8, 8 * 16.0)});
        figures.push_back({"nofma_avx512", chain_trial(mul_add_avx512_12, 12 * 16.0)});
        figures.push_back({"fma_avx512", chain_trial(fma_avx512_12, 12 * 16.0)});
        figures.push_back({"fma_avx512", chain_trial(fma_avx512_16, 16 * 16.0)});
    }

    std::vector<double> x_add(4096, 1e-3);
    // Sixteen passes per trial: one pass is a few microseconds, where reading the thread's
    // CPU clock (a system call) would show.
    figures.push_back({"sequential_add_ns",
                       [&] {
                           const double t = seconds_of([&] {
                               for (int pass = 0; pass < 16; ++pass)
                                   g_sink = sequential_add(x_add.data(), long(x_add.size()));
                           });
                           return t / (16.0 * double(x_add.size())) * 1e9;
                       },
                       true});

    // The size of the 4096² matrix that the matrix·vector benchmark reads once: four times the
    // last-level cache, so that the read comes from memory whatever stayed cached from the
    // previous trial (at the cache's size, what stays depends on the other tenants of the
    // cache, and the figure moved by half). On 2 MiB pages where the system grants them, as
    // the library's large arrays ask for: on 4 KiB pages the read is bound by page walks and
    // understates the bound.
    const long side = 4096, n_read = side * side;
    const std::size_t read_bytes = std::size_t(n_read) * sizeof(double);
    double* x_read = nullptr;
    if (has_avx2) {
        x_read = static_cast<double*>(std::aligned_alloc(std::size_t{2} << 20, read_bytes));
#ifdef MADV_HUGEPAGE
        (void)madvise(x_read, read_bytes, MADV_HUGEPAGE);
#endif
        std::fill(x_read, x_read + n_read, 1.0);
        figures.push_back({"stream_read_gbs", [&] {
                               return double(read_bytes) /
                                      seconds_of([&] { g_sink = stream_read(x_read, side, side); }) * 1e-9;
                           }});
    }

    std::vector<double> a(tile_k * 16, 0.5), b(tile_k * 32, 0.25);
    for (const Tile& tile : tiles) {
        if (tile.avx512 ? !has_avx512 : !has_avx2) continue;
        figures.push_back({tile.name, [&a, &b, &tile] {
                               const long reps = 100;
                               return double(tile.flops_per_step) * double(tile_k * reps) /
                                      seconds_of([&] {
                                          g_sink = tile.fn(a.data(), b.data(), tile_k, reps);
                                      }) *
                                      1e-9;
                           }});
    }

    for (Figure& f : figures) (void)f.trial();  // warm up: page in, raise the clock
    const double start = wall_now();
    int rounds = 0;
    do {
        for (Figure& f : figures) f.values.push_back(f.trial());
        ++rounds;
    } while (wall_now() - start < window || rounds < 10);

    // A figure's best is its fifth-best trial: a single trial can be timed too fast (the
    // thread's CPU clock on a virtual machine is now and then short by a few percent, which
    // shows as a clock of 3.4-3.5 GHz on a core that otherwise never leaves 3.24), while a
    // quiet period yields many trials near the true best. Figures with several loops (chain
    // counts) report the best loop; the share is that loop's fraction of rounds within 3 % of
    // its best.
    std::vector<std::string> order;
    std::map<std::string, std::pair<double, double>> result;  // key -> (best, share)
    for (Figure& f : figures) {
        std::sort(f.values.begin(), f.values.end());
        if (!f.lower_is_better) std::reverse(f.values.begin(), f.values.end());
        const double best = f.values[std::min<std::size_t>(4, f.values.size() - 1)];
        int near = 0;
        for (double v : f.values)
            near += f.lower_is_better ? v <= best * 1.03 : v >= best * 0.97;
        const double share = double(near) / double(f.values.size());
        auto it = result.find(f.key);
        if (it == result.end()) {
            order.push_back(f.key);
            result[f.key] = {best, share};
        } else if (f.lower_is_better ? best < it->second.first : best > it->second.first) {
            it->second = {best, share};
        }
    }
    for (const std::string& key : order) {
        std::printf("%s %.3f\n", key.c_str(), result[key].first);
        std::printf("%s_share %.2f\n", key.c_str(), result[key].second);
    }
    std::printf("rounds %d\n", rounds);
    std::free(x_read);
    return 0;
}
