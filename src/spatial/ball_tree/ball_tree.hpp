// Ball tree: nodes bounded by a centroid and a radius in the tree's metric, split like the
// k-d tree at the median of the widest coordinate.
#pragma once

#include "spatial/common/tree.hpp"

namespace veltrix {

struct BallPolicy {
    struct Node : TreeNode {
        f64 radius = 0.0;  // largest metric distance from the centroid to a point of the node
    };
    struct Options {};
    using Measure = f64;  // metric distance from the query to the node's centroid

    // The centroid.
    static u64 floats_per_node(u64 dim) noexcept { return dim; }

    // On a torus the centroid is the mean of the wrapped coordinates and the radius is
    // measured periodically: a bound through the triangle inequality needs nothing more.
    template <class M>
    static std::optional<u64> build(const M& mt, TreeData& t, BuildScratch& s, const Options&, Node& node,
                                    f64* centroid, bool may_split) {
        const u64 n = node.count(), dim = t.dim;
        f64* lo = s.lo.data();
        f64* hi = s.hi.data();
        // One pass for the coordinate sums (in position order) and the spread of the split.
        sum_and_box<true>(t.point(node.start), n, dim, centroid, lo, hi);
        // The empty root keeps a zero centroid; no query ever measures it.
        if (n > 0)
            for (u64 j = 0; j < dim; ++j) centroid[j] = centroid[j] / static_cast<f64>(n);
        // A chunk of distances at a time keeps the scratch small at the top of a big build.
        constexpr u64 chunk = 4096;
        const u64 chunks = (n + chunk - 1) / chunk;
        // Largest distance over chunks [c0, c1), NaN never taken. The maximum of the others
        // does not depend on the order they are met in (all are +0.0 or more), so the top of
        // a parallel build may split the chunks among its threads.
        const auto farthest = [&](u64 c0, u64 c1, f64* d) {
            f64 r = 0.0;
            for (u64 p = c0 * chunk; p < std::min(n, c1 * chunk); p += chunk) {
                const u64 c = std::min(chunk, n - p);
                distances_to(mt, t.point(node.start + p), c, dim, centroid, d);
                for (u64 j = 0; j < c; ++j) r = d[j] > r ? d[j] : r;
            }
            return r;
        };
        if (s.threads > 1 && n >= parallel_pass_min) {
            std::vector<f64> part(s.threads, 0.0);
            share_jobs(s.threads, s.threads, [&](u64 k) {
                std::vector<f64> d(chunk);
                const auto [c0, c1] = chunk_range(chunks, s.threads, k);
                part[k] = farthest(c0, c1, d.data());
            });
            f64 r = 0.0;
            for (const f64 x : part) r = x > r ? x : r;
            node.radius = r;
        } else {
            s.keys.resize(std::min(n, chunk));
            node.radius = farthest(0, chunks, s.keys.data());
        }
        if (!may_split) return std::nullopt;
        return split_at_median(t, s, node.start, node.end, widest_dim(lo, hi, dim));
    }

    static void finish(TreeData&, std::vector<Node>&) noexcept {}

    template <class M>
    static f64 measure(const M& mt, const TreeData& t, const Node&, const f64* centroid, const f64* q) noexcept {
        return mt.distance(q, centroid, t.dim);
    }

    // d_c - radius, lowered by the rounding of the three distances behind it (query to
    // centroid, centroid to the farthest point, query to a point); a NaN difference is 0.
    static f64 lower_bound(const TreeData& t, const Node& node, f64 dc) noexcept {
        const f64 b = ((dc - node.radius) - (dc + node.radius) * (2.0 * t.slack)) - t.abs_slack;
        return b > 0.0 ? b : 0.0;
    }

    // The child with the nearer centroid first; the left one on equal distances, the right
    // one when the comparison fails on NaN.
    static bool left_first(const TreeData&, const Node&, f64, f64 dl, f64 dr, const f64*) noexcept { return dl <= dr; }

    static NearFar near_far(const TreeData&, const Node& node, const f64*, f64 dc, const f64*) noexcept {
        const f64 near = dc - node.radius;
        return {near > 0.0 ? near : 0.0, dc + node.radius};
    }

    static f64 span(const TreeData&, const Node& node, const f64*) noexcept { return node.radius + node.radius; }
};

static_assert(NodePolicy<BallPolicy>);

using BallNode = BallPolicy::Node;
using BallTree = SpatialTree<BallPolicy>;
extern template class SpatialTree<BallPolicy>;

}  // namespace veltrix
