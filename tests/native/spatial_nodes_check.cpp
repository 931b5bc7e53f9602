// Holds the node records of the three trees (which Python never sees) to the worked examples,
// and every vantage-point node to the shell its distances describe.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"
#include "check.hpp"

using namespace veltrix;
using namespace veltrix::check;

namespace {

Array64 points(u64 n, u64 dim, const std::vector<f64>& v) { return array_of(Shape::d2(n, dim), v); }

template <class Tree>
Tree build(const Array64& a, u64 leaf, DistanceMetric m = DistanceMetric::Euclidean,
           typename Tree::Options o = {}) {
    auto r = Tree::from_ndarray(a, leaf, m, o);
    if (!r) {
        std::printf("FAIL build: %s\n", r.error().c_str());
        ++failures;
        std::exit(1);
    }
    return std::move(r).value();
}

template <class Tree>
std::set<f64> xs(const Tree& t, u64 start, u64 end) {
    std::set<f64> out;
    for (u64 p = start; p < end; ++p) out.insert(t.point(p)[0]);
    return out;
}

void kd_examples() {
    std::vector<f64> v;
    for (int i = 0; i < 21; ++i) v.push_back(i);
    auto t20 = build<KDTree>(points(20, 1, {v.begin(), v.begin() + 20}), 20);
    expect(t20.nodes.size() == 1 && t20.nodes[0].is_leaf(), "kd: 20 points, leaf 20: root leaf");
    auto t21 = build<KDTree>(points(21, 1, v), 20);
    expect(t21.nodes.size() == 3 && t21.nodes[1].end == 10 && t21.nodes[2].start == 10, "kd: 21 points split 10 + 11");

    auto t = build<KDTree>(points(4, 2, {0, 0, 1, 0, 2, 0, 3, 0}), 1);
    const KDNode& root = t.nodes[0];
    expect(root.split_dim == 0 && KdPolicy::split_value(t, root) == 2.0, "kd: split_dim 0, split_value 2");
    expect(xs(t, 0, 2) == std::set<f64>{0, 1} && xs(t, 2, 4) == std::set<f64>{2, 3}, "kd: halves");
    expect(t.nodes.size() == 7 && t.nodes[1].right == 3 && t.nodes[0].right == 4, "kd: pre-order numbering");
    expect(t.block(0)[0] == 0 && t.block(0)[1] == 0 && t.block(0)[2] == 3 && t.block(0)[3] == 0, "kd: root box");
    for (u64 p = 0; p < 4; ++p) expect(t.point(p)[0] == static_cast<f64>(t.indices[p]), "kd: data in tree order");

    auto same = build<KDTree>(points(2, 2, {5, 1, 5, 1}), 1);
    expect(same.nodes[0].split_dim == 0, "kd: no positive spread picks coordinate 0");
    auto empty = build<KDTree>(points(0, 2, {}), 20);
    expect(empty.nodes.size() == 1 && empty.block(0)[0] == std::numeric_limits<f64>::infinity() &&
               empty.block(0)[2] == -std::numeric_limits<f64>::infinity(),
           "kd: empty tree is one leaf with an inverted box");
}

void ball_examples() {
    for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Manhattan, DistanceMetric::Chebyshev}) {
        auto t = build<BallTree>(points(3, 2, {0, 0, 2, 0, 4, 0}), 3, m);
        expect(t.nodes.size() == 1 && t.block(0)[0] == 2 && t.block(0)[1] == 0 && t.nodes[0].radius == 2,
               "ball: centroid (2, 0), radius 2");
    }
    auto man = build<BallTree>(points(2, 2, {0, 0, 3, 4}), 2, DistanceMetric::Manhattan);
    expect(man.block(0)[0] == 1.5 && man.block(0)[1] == 2 && man.nodes[0].radius == 3.5, "ball: manhattan radius 3.5");
    auto cheb = build<BallTree>(points(2, 2, {0, 0, 3, 4}), 2, DistanceMetric::Chebyshev);
    expect(cheb.nodes[0].radius == 2, "ball: chebyshev radius 2");
}

void vp_examples() {
    auto t = build<VPTree>(points(5, 1, {0, 1, 2, 3, 4}), 4);
    const VPNode& r = t.nodes[0];
    expect(r.vantage == 0 && t.point(0)[0] == 0, "vp: root vantage is point 0");
    expect(r.threshold == 2.5 && r.min_dist == 1 && r.max_dist == 4, "vp: threshold 2.5, range [1, 4]");
    expect(t.nodes.size() == 3 && t.nodes[1].end == 3 && xs(t, 0, 3) == std::set<f64>{0, 1, 2} &&
               xs(t, 3, 5) == std::set<f64>{3, 4},
           "vp: children 0-2 and 3-4");
    auto leaf = build<VPTree>(points(5, 1, {0, 1, 2, 3, 4}), 5);
    expect(leaf.nodes.size() == 1 && leaf.nodes[0].threshold == 2.5, "vp: a leaf carries its threshold");
    auto three = build<VPTree>(points(3, 1, {0, 1, 5}), 20);
    expect(three.nodes[0].threshold == 3.0, "vp: threshold (1 + 5) / 2");
    auto one = build<VPTree>(points(1, 1, {7}), 1);
    expect(one.nodes.size() == 1 && one.nodes[0].min_dist > one.nodes[0].max_dist, "vp: one point, empty range");
}

// Every node's distances from its own vantage point (wherever the build left it) lie in its
// [min_dist, max_dist], and the children split at the threshold.
void vp_shells(VantageSelection sel) {
    std::vector<f64> v;
    for (int i = 0; i < 300; ++i) v.push_back(std::sin(i * 1.7) * 10 + i * 0.01);
    for (int rep = 0; rep < 5; ++rep) {
        auto t = build<VPTree>(points(150, 2, v), 3, DistanceMetric::Euclidean, {sel});
        for (const VPNode& n : t.nodes) {
            expect(n.vantage >= n.start && n.vantage < n.end, "vp: vantage inside its node");
            if (sel == VantageSelection::First) expect(n.vantage == n.start, "vp first: vantage at start");
            for (u64 p = n.start; p < n.end; ++p) {
                if (p == n.vantage) continue;
                const f64 d = compute_distance(t.metric, t.point(p), t.point(n.vantage), 2);
                expect(d >= n.min_dist && d <= n.max_dist, "vp: point inside the node's shell");
            }
        }
    }
}

void metrics_and_kernels() {
    const f64 nan = std::numeric_limits<f64>::quiet_NaN();
    for (DistanceMetric m : {DistanceMetric::Euclidean, DistanceMetric::Manhattan, DistanceMetric::Chebyshev})
        expect(compute_distance(m, nullptr, nullptr, 0) == 0.0, "empty vectors are at distance 0");
    const f64 a[] = {0, nan}, b[] = {3, 0};
    expect(compute_distance(DistanceMetric::Chebyshev, a, b, 2) == 3.0, "chebyshev skips NaN");
    expect(kernel_value(KernelType::Epanechnikov, 0) == 0.75, "epanechnikov(0)");
    expect(kernel_value(KernelType::Triangular, 0.25) == 0.75, "triangular(0.25)");
    expect(kernel_value(KernelType::Uniform, 0.999) == 0.5 && kernel_value(KernelType::Uniform, 1.0) == 0.0,
           "uniform cut-off at 1");
    expect(kernel_value(KernelType::Gaussian, 0) == 1.0, "gaussian(0)");
    expect(kernel_value(KernelType::Epanechnikov, nan) == 0.0 && std::isnan(kernel_value(KernelType::Gaussian, nan)),
           "NaN u");
}

// Key patterns that strain a quickselect: runs of equal keys, presorted and reversed keys, and
// (for the vantage-point order) NaN keys, which sort last.
std::vector<std::vector<f64>> key_patterns(u64 n, bool with_nan) {
    std::mt19937_64 rng(n * 7 + with_nan);
    std::uniform_real_distribution<f64> u(0.0, 1.0);
    std::vector<std::vector<f64>> out(7, std::vector<f64>(n));
    for (u64 i = 0; i < n; ++i) {
        out[0][i] = u(rng);
        out[1][i] = static_cast<f64>(i);
        out[2][i] = static_cast<f64>(n - i);
        out[3][i] = 1.5;
        out[4][i] = static_cast<f64>(rng() % 2);
        out[5][i] = static_cast<f64>(rng() % 5);
        out[6][i] = static_cast<f64>(i < n / 2 ? i : n - i);  // organ pipe
    }
    if (with_nan)
        for (auto& keys : out)
            for (u64 i = 0; i < n; i += 3) keys[i] = std::numeric_limits<f64>::quiet_NaN();
    return out;
}

// The selection returns the value std::nth_element places at the rank, for every rank tried.
void selection() {
    const auto nan_last = [](f64 x, f64 y) { return (x < y) | (!std::isnan(x) & std::isnan(y)); };
    for (u64 n : {1, 2, 33, 100, 1024, 5000}) {
        for (bool with_nan : {false, true}) {
            for (const auto& keys : key_patterns(n, with_nan)) {
                // Every rank of the smaller sizes: a peeled run of equal keys ends next to each one.
                std::vector<u64> ranks{0, n / 3, n / 2, n - 1};
                if (n <= 100)
                    for (u64 r = 0; r < n; ++r) ranks.push_back(r);
                for (u64 rank : ranks) {
                    std::vector<f64> a = keys, b = keys;
                    std::nth_element(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(rank), b.end(), nan_last);
                    const f64 got = select_value(a.data(), n, rank, nan_last);
                    expect(same_bits(got, b[rank]), "select_value n=" + std::to_string(n) + " rank=" +
                                                        std::to_string(rank) + (with_nan ? " with NaN" : ""));
                }
            }
        }
    }
}

// The three-way partition over whole points, one branch per comparison, kept here as the
// order the trees are built in; the build's branch-free version must leave the same order.
void reference_partition(std::vector<f64>& keys, std::vector<TreeIndex>& idx, std::vector<f64>& pts, u64 dim, f64 pivot) {
    u64 lt = 0, i = 0, gt = keys.size();
    const auto swap_at = [&](u64 a, u64 b) {
        std::swap(keys[a], keys[b]);
        std::swap(idx[a], idx[b]);
        std::swap_ranges(pts.begin() + a * dim, pts.begin() + (a + 1) * dim, pts.begin() + b * dim);
    };
    while (i < gt) {
        if (keys[i] < pivot) {
            if (lt != i) swap_at(lt, i);
            ++lt;
            ++i;
        } else if (pivot < keys[i]) {
            swap_at(i, --gt);
        } else {
            ++i;
        }
    }
}

void partition_order() {
    for (u64 dim : {1, 2, 3, 4, 5, 16}) {
        for (u64 n : {1, 7, 200}) {
            for (const auto& pattern : key_patterns(n, false)) {
                TreeData t;
                t.dim = dim;
                t.n_points = n;
                t.indices.resize(n);
                for (u64 p = 0; p < n; ++p) t.indices[p] = p;
                t.data.resize(n * dim);
                for (u64 p = 0; p < n; ++p)
                    for (u64 c = 0; c < dim; ++c) t.data[p * dim + c] = pattern[p] * 10 + static_cast<f64>(c);
                BuildScratch s;
                s.keys = pattern;
                std::vector<f64> keys = pattern, sorted = pattern, pts = t.data;
                std::vector<TreeIndex> idx = t.indices;
                std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2), sorted.end());
                reference_partition(keys, idx, pts, dim, sorted[n / 2]);
                select_at_rank(t, s, 0, n / 2, [](f64 a, f64 b) { return a < b; });
                expect(t.indices == idx && t.data == pts && s.keys == keys,
                       "partition order dim=" + std::to_string(dim) + " n=" + std::to_string(n));
            }
        }
    }
}

// The interleaved distance pass and the register-blocked sums agree bit for bit with the
// one-point loops they replace.
template <class M>
void batched_distances() {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<f64> u(-1.0, 1.0);
    for (u64 dim : {0, 1, 2, 3, 7, 16, 17}) {
        for (u64 count : {0, 1, 5, 8, 9, 21}) {
            std::vector<f64> x(count * dim), c(dim), out(count);
            for (f64& v : x) v = u(rng);
            for (f64& v : c) v = u(rng);
            distances_to<M>(x.data(), count, dim, c.data(), out.data());
            bool ok = true;
            for (u64 p = 0; p < count; ++p) ok = ok && same_bits(out[p], M::distance(x.data() + p * dim, c.data(), dim));
            expect(ok, "distances_to dim=" + std::to_string(dim) + " count=" + std::to_string(count));
        }
    }
}

void blocked_sums() {
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<f64> u(-1e3, 1e3);
    for (u64 dim = 1; dim <= 19; ++dim) {
        const u64 n = 37;
        std::vector<f64> x(n * dim);
        for (f64& v : x) v = u(rng);
        std::vector<f64> sum(dim), lo(dim), hi(dim), es(dim, 0.0), el(dim, std::numeric_limits<f64>::infinity()),
            eh(dim, -std::numeric_limits<f64>::infinity());
        for (u64 p = 0; p < n; ++p)
            for (u64 j = 0; j < dim; ++j) {
                es[j] = es[j] + x[p * dim + j];
                el[j] = std::min(el[j], x[p * dim + j]);
                eh[j] = std::max(eh[j], x[p * dim + j]);
            }
        sum_and_box<true>(x.data(), n, dim, sum.data(), lo.data(), hi.data());
        expect(sum == es && lo == el && hi == eh, "sum_and_box dim=" + std::to_string(dim));
    }
}

}  // namespace

// The radix selection of large nodes finds the value a selection over a copy of the keys
// finds, for spread, clustered, duplicated and signed-zero keys, at every rank tried.
void radix_selection() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<f64> u(-1.0, 1.0);
    const f64 inf = std::numeric_limits<f64>::infinity();
    for (int kind = 0; kind < 4; ++kind) {
        const u64 n = 200000, dim = 2;
        std::vector<f64> pts(n * dim);
        for (u64 p = 0; p < n; ++p) {
            f64 x = u(rng);
            if (kind == 1) x = 1.0 + x * 1e-12;                    // one cluster: deep digits
            if (kind == 2) x = std::round(x * 3.0) * 0.5;          // few distinct values
            if (kind == 3) x = p % 3 == 0 ? -0.0 : (p % 3 == 1 ? 0.0 : (p % 7 ? x : inf));
            pts[p * dim + 1] = x;
            pts[p * dim] = u(rng);
        }
        for (u64 rank : {u64{0}, n / 3, n / 2, n - 1}) {
            std::vector<f64> keys(n), buffer;
            for (u64 p = 0; p < n; ++p) keys[p] = pts[p * dim + 1];
            const f64 want = select_value(keys.data(), n, rank, [](f64 a, f64 b) { return a < b; });
            const f64 got = select_coordinate(pts.data(), n, dim, 1, rank, buffer);
            expect(got == want, "radix selection kind=" + std::to_string(kind) + " rank=" + std::to_string(rank));
        }
    }
}

// Positions and node numbers are 32-bit: a larger tree is refused with a message naming
// `points` (zero-dimensional rows, so nothing of that size is allocated).
void size_limit() {
    const u64 big = u64{1} << 32, half = u64{1} << 31;
    expect(max_tree_points(3) == big - 1 && max_tree_points(2) == half, "limit values");
    for (const auto& [n, leaf] : std::vector<std::pair<u64, u64>>{{big, 20}, {half + 1, 2}, {half + 1, 1}}) {
        const Result<KDTree> t = KDTree::from_rows({}, n, 0, leaf, DistanceMetric::Euclidean);
        expect(!t && t.error().rfind("points has " + std::to_string(n) + " rows", 0) == 0,
               "refused: " + std::to_string(n) + " points, leaf_size " + std::to_string(leaf));
    }
}

int main() {
    size_limit();
    kd_examples();
    ball_examples();
    vp_examples();
    vp_shells(VantageSelection::First);
    vp_shells(VantageSelection::Random);
    metrics_and_kernels();
    selection();
    partition_order();
    batched_distances<EuclideanMetric>();
    batched_distances<ManhattanMetric>();
    batched_distances<ChebyshevMetric>();
    blocked_sums();
    radix_selection();
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("spatial nodes: all checks passed\n");
    return 0;
}
