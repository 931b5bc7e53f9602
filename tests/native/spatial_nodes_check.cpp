// Holds the node records of the three trees (which Python never sees) to the worked examples,
// and every vantage-point node to the shell its distances describe.
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

using namespace veltrix;

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL %s\n", what.c_str());
    }
}

Array64 points(u64 n, u64 dim, std::vector<f64> v) { return Array64(Shape::d2(n, dim), std::move(v)); }

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
    expect(root.split_dim == 0 && root.split_value == 2.0, "kd: split_dim 0, split_value 2");
    expect(xs(t, 0, 2) == std::set<f64>{0, 1} && xs(t, 2, 4) == std::set<f64>{2, 3}, "kd: halves");
    expect(t.nodes.size() == 7 && t.nodes[1].left == 2 && t.nodes[0].right == 4, "kd: pre-order numbering");
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

}  // namespace

int main() {
    kd_examples();
    ball_examples();
    vp_examples();
    vp_shells(VantageSelection::First);
    vp_shells(VantageSelection::Random);
    metrics_and_kernels();
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("spatial nodes: all checks passed\n");
    return 0;
}
