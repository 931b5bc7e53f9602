// Saved tree states come back node for node, and no truncated or altered state is read past
// its end (run under the sanitizer build to make that check bite); many jumps by matrix
// powers equal the same number of single published jumps.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "random/generator.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/common/state.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

// Coordinates with ties, signed zeros and an infinity, so the selections meet equal keys.
Array64 points(u64 n, u64 dim, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::vector<f64> v(n * dim);
    for (f64& x : v) {
        const u64 r = rng() % 16;
        x = r == 0 ? -0.0 : r == 1 ? 0.0 : static_cast<f64>(static_cast<i64>(rng() % 40) - 20) * 0.25;
    }
    if (n > 3 && dim > 0) v[dim * 3] = INFINITY;
    return array_of(Shape::d2(n, dim), v);
}

template <class P>
void compare_nodes(const SpatialTree<P>& a, const SpatialTree<P>& b, const std::string& what) {
    expect(a.nodes.size() == b.nodes.size() && a.indices == b.indices && a.block_len == b.block_len &&
               same_bits(a.slack, b.slack),
           what + ": layout");
    if (a.nodes.size() != b.nodes.size()) return;
    for (u64 i = 0; i < a.data.size(); ++i) expect(same_bits(a.data[i], b.data[i]), what + ": points");
    // Zero bounds may differ in sign only (see the state format); everything else bit for bit.
    for (u64 i = 0; i < a.node_floats.size(); ++i)
        expect(a.node_floats[i] == b.node_floats[i] || same_bits(a.node_floats[i], b.node_floats[i]),
               what + ": node floats");
    for (u64 i = 0; i < a.nodes.size(); ++i) {
        const auto &x = a.nodes[i], &y = b.nodes[i];
        bool ok = x.start == y.start && x.end == y.end && x.right == y.right;
        if constexpr (std::is_same_v<P, KdPolicy>) ok = ok && x.split_dim == y.split_dim;
        if constexpr (std::is_same_v<P, BallPolicy>) ok = ok && same_bits(x.radius, y.radius);
        if constexpr (std::is_same_v<P, VpPolicy>)
            ok = ok && x.vantage == y.vantage && same_bits(x.threshold, y.threshold) &&
                 same_bits(x.min_dist, y.min_dist) && same_bits(x.max_dist, y.max_dist);
        expect(ok, what + ": node " + std::to_string(i));
    }
}

// Every truncation and every single-byte change of a small state is refused or gives a tree
// that answers queries; none may read outside the buffer.
template <class P>
void hostile(const Bytes& state, u64 dim, const std::string& what) {
    for (std::size_t len = 0; len < state.size(); ++len)
        expect(!tree_from_state<P>(state.data(), len), what + ": truncated to " + std::to_string(len));
    std::vector<f64> q(dim, 0.5);
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (const unsigned char delta : {1, 0x80, 0xff}) {
            Bytes bad = state;
            bad[i] = static_cast<unsigned char>(bad[i] ^ delta);
            Result<SpatialTree<P>> t = tree_from_state<P>(bad.data(), bad.size());
            if (!t) continue;
            (void)t.value().query_knn(q.data(), 3);
            (void)t.value().query_radius(q.data(), 1.0);
        }
    }
}

template <class P>
void round_trip(const std::string& name, typename P::Options options = {}) {
    for (const u64 n : {u64{0}, u64{1}, u64{2}, u64{7}, u64{300}}) {
        for (const u64 dim : {u64{0}, u64{1}, u64{3}}) {
            for (const u64 leaf : {u64{1}, u64{2}, u64{20}}) {
                for (const auto metric : {DistanceMetric::Euclidean, DistanceMetric::Chebyshev}) {
                    const std::string what = name + " n=" + std::to_string(n) + " dim=" + std::to_string(dim) +
                                             " leaf=" + std::to_string(leaf);
                    auto built = SpatialTree<P>::from_ndarray(points(n, dim, 7 + n), leaf, metric, options);
                    if (!built) {
                        expect(false, what + ": build " + built.error());
                        continue;
                    }
                    const Bytes state = tree_state(built.value());
                    auto loaded = tree_from_state<P>(state.data(), state.size());
                    if (!loaded) {
                        expect(false, what + ": load " + loaded.error());
                        continue;
                    }
                    compare_nodes(built.value(), loaded.value(), what);
                    expect(tree_state(loaded.value()) == state, what + ": state of the loaded tree");
                    if (n == 7 && leaf == 2 && metric == DistanceMetric::Euclidean) hostile<P>(state, dim, what);
                }
            }
        }
    }
}

void jumps() {
    const Generator g = Generator::from_seed(42);
    for (const u64 k : {u64{257}, u64{300}, u64{1024}}) {
        Generator one = g;
        for (u64 j = 0; j < k; ++j) one = one.jumped(1);
        expect(one.state() == g.jumped(k).state(), "jumped(" + std::to_string(k) + ") by squaring");
    }
    expect(g.jumped(0).state() == g.state(), "jumped(0)");
    Generator parent = g;
    const std::vector<Generator> kids = parent.spawn(3);
    expect(kids.size() == 3 && kids[2].state() == g.jumped(3).state() && parent.state() == g.jumped(4).state(),
           "spawn: child i is jumped i + 1 times, the parent n + 1 times");
    expect(!Generator::from_state({0, 0, 0, 0}), "all-zero state refused");
}

}  // namespace

int main() {
    round_trip<KdPolicy>("kd");
    round_trip<BallPolicy>("ball");
    round_trip<VpPolicy>("vp");
    round_trip<VpPolicy>("vp random", {VantageSelection::Random});
    jumps();
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("travel_check: all passed\n");
    return 0;
}
