// The threaded three-way partition of the tree builds against the one-thread pass: the same
// point at every position (coordinates, input row, key), for every thread count, with keys
// equal to the pivot in every amount it takes on, and NaN keys under their own order.
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "spatial/common/tree.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

struct Case {
    std::vector<f64> keys, pts;
    std::vector<TreeIndex> idx;
};

Case make(u64 n, u64 dim, u64 distinct, bool nans, std::mt19937_64& rng) {
    Case c;
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    for (u64 i = 0; i < n; ++i) {
        f64 k = distinct ? static_cast<f64>(rng() % distinct) : u(rng);
        if (nans && rng() % 7 == 0) k = std::numeric_limits<f64>::quiet_NaN();
        c.keys.push_back(k);
        c.idx.push_back(static_cast<TreeIndex>(i));
        for (u64 j = 0; j < dim; ++j) c.pts.push_back(j == 0 ? k : u(rng));
    }
    return c;
}

bool same(const Case& a, const Case& b, bool with_keys) {
    if (a.idx != b.idx) return false;
    for (u64 i = 0; i < a.pts.size(); ++i)
        if (!same_bits(a.pts[i], b.pts[i])) return false;
    if (with_keys)
        for (u64 i = 0; i < a.keys.size(); ++i)
            if (!same_bits(a.keys[i], b.keys[i])) return false;
    return true;
}

template <class Less>
void compare(const Case& input, u64 dim, f64 pivot, Less less, const std::string& what) {
    const u64 n = input.idx.size();
    for (const bool on_coordinate : {true, false}) {
        Case serial = input;
        if (on_coordinate)
            partition_points<0, true>(nullptr, serial.idx.data(), serial.pts.data(), n, dim, pivot, less, 0);
        else
            partition_points<0, false>(serial.keys.data(), serial.idx.data(), serial.pts.data(), n, dim, pivot, less);
        for (const u64 threads : {2, 3, 4, 7}) {
            Case par = input;
            const bool took = on_coordinate ? partition_points_parallel<true>(nullptr, par.idx.data(), par.pts.data(),
                                                                               n, dim, pivot, less, 0, threads)
                                            : partition_points_parallel<false>(par.keys.data(), par.idx.data(),
                                                                                par.pts.data(), n, dim, pivot, less,
                                                                                0, threads);
            if (!took) {
                expect(same(par, input, !on_coordinate), what + ": declined but moved points");
                continue;
            }
            expect(same(par, serial, !on_coordinate),
                   what + (on_coordinate ? " on coordinate" : " keys") + " threads " + std::to_string(threads));
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(24);
    const auto plain = [](f64 a, f64 b) { return a < b; };
    const auto nan_last = [](f64 a, f64 b) { return (a < b) | (!std::isnan(a) & std::isnan(b)); };
    for (const u64 n : {1, 2, 3, 5, 17, 100, 1000, 5000, 70000}) {
        for (const u64 dim : {1, 3, 5}) {
            for (const u64 distinct : {0, 2, 3, 50, 400}) {
                const Case c = make(n, dim, distinct, false, rng);
                // Pivots: a key present (the usual median), one absent, the extremes.
                std::vector<f64> pivots{c.keys[n / 2], c.keys[0], 0.5, -1.0, 2.0};
                if (distinct) pivots.push_back(static_cast<f64>(distinct - 1));
                for (const f64 p : pivots)
                    compare(c, dim, p, plain,
                            "n " + std::to_string(n) + " dim " + std::to_string(dim) + " distinct " +
                                std::to_string(distinct) + " pivot " + std::to_string(p));
            }
            const Case c = make(n, dim, 0, true, rng);
            for (const f64 p : {c.keys[n / 2], std::numeric_limits<f64>::quiet_NaN(), 0.5})
                compare(c, dim, p, nan_last, "nan keys n " + std::to_string(n) + " dim " + std::to_string(dim));
        }
    }
    if (failures) std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
