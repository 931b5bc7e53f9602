// Holds the vectorised extreme search against the plain first-match loop for every
// instruction set the CPU runs, over lengths around the vector and block sizes, with NaN,
// signed zeros and infinities in play.
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "stats/stats.hpp"

using namespace veltrix;

namespace {

// The reference: the first NaN, else the first element no other element beats.
std::size_t plain(const std::vector<f64>& x, bool smallest) {
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i] != x[i]) return i;
    std::size_t best = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (smallest ? x[i] < x[best] : x[i] > x[best]) best = i;
    return best;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20);
    const f64 specials[] = {0.0, -0.0, std::numeric_limits<f64>::infinity(),
                            -std::numeric_limits<f64>::infinity(), std::nan("")};
    int failures = 0, checked = 0;
    for (std::size_t n : {1u, 2u, 3u, 7u, 8u, 15u, 16u, 17u, 33u, 2047u, 2048u, 2049u, 6000u}) {
        for (int trial = 0; trial < 40; ++trial) {
            // Few distinct values, so ties and equal zeros are common.
            std::uniform_int_distribution<int> value(-3, 3), special(0, trial % 5 == 4 ? 4 : 3);
            std::uniform_int_distribution<std::size_t> where(0, n - 1);
            std::vector<f64> x(n);
            for (f64& v : x) v = value(rng);
            for (std::size_t k = 0; k < 1 + n / 50; ++k) x[where(rng)] = specials[special(rng)];
            for (bool smallest : {true, false})
                for (Isa isa : {Isa::generic, Isa::avx2, Isa::avx512}) {
                    if (!isa_supported(isa)) continue;
                    ++checked;
                    const std::size_t got = stats::extreme_index(x.data(), n, smallest, isa);
                    if (got != plain(x, smallest)) {
                        ++failures;
                        std::printf("FAIL n=%zu %s %s: %zu, expected %zu\n", n, smallest ? "min" : "max",
                                    isa_name(isa).data(), got, plain(x, smallest));
                    }
                }
        }
    }
    std::printf("%s (%d cases)\n", failures ? "FAILED" : "extremes match the plain loop", checked);
    return failures ? 1 : 0;
}
