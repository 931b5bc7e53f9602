// Vantage-point tree: each node splits its other points at the median of their metric
// distances to one of its points, the vantage point; no coordinate is compared directly.
#pragma once

#include <optional>
#include <string_view>

#include "spatial/common/tree.hpp"

namespace veltrix {

enum class VantageSelection : unsigned char { First, Random };

// Matched against text the caller has already lower-cased.
std::optional<VantageSelection> selection_from_name(std::string_view lowered) noexcept;

// A position uniform over [start, end), from a generator seeded by the clock for this node alone.
u64 random_vantage(u64 start, u64 end);

// The orders of the distance selection, as named types: lambdas inside the metric-templated
// build would make a copy of the selection and partition passes for every metric.
struct PlainLess {
    bool operator()(f64 x, f64 y) const noexcept { return x < y; }
};
// NaN last. Bitwise, not short-circuit: the selection and partition stay free of branches.
struct NanLastLess {
    bool operator()(f64 x, f64 y) const noexcept { return (x < y) | (!std::isnan(x) & std::isnan(y)); }
};

struct VpPolicy {
    struct Node : TreeNode {
        // Position of the node's own vantage point once the whole build is done. Children
        // swap their own vantage points into their first position, so under random
        // selection this is generally not `start` (input row while building).
        TreeIndex vantage = 0;
        f64 threshold = 0.0;  // median distance from the vantage point to the other points
        f64 min_dist = std::numeric_limits<f64>::infinity();
        f64 max_dist = -std::numeric_limits<f64>::infinity();
    };
    struct Options {
        VantageSelection selection = VantageSelection::First;
    };
    using Measure = f64;  // metric distance from the query to the node's vantage point

    // No floats in the node blocks: the nodes' bounding boxes are not part of the split but
    // derived once the points are in place (finish, and a restored state) for the searches
    // to prune with, in single precision (boxes32): bounds need no more, and a build of many
    // points peaks at less memory.
    static u64 floats_per_node(u64) noexcept { return 0; }
    static void derive_boxes(TreeData& t, const std::vector<Node>& nodes) {
        t.boxes32.assign(nodes.size() * 2 * t.dim, 0.0f);
        veltrix::derive_boxes(t, nodes, t.boxes32.data(), 2 * t.dim);
    }

    template <class M>
    static std::optional<u64> build(const M& mt, TreeData& t, BuildScratch& s, const Options& opt, Node& node,
                                    f64*, bool may_split) {
        const u64 start = node.start, end = node.end;
        // The empty root has no vantage point; no query ever measures it.
        if (start == end) return std::nullopt;
        const u64 v = opt.selection == VantageSelection::Random ? random_vantage(start, end) : start;
        t.swap_points(start, v);
        node.vantage = t.indices[start];
        const f64* vp = t.point(start);  // later swaps within this node never touch `start`
        auto& keys = s.keys;
        const u64 w = end - start - 1, a = w / 2;
        if (w > computed_keys_min) {
            const std::optional<f64> threshold = split_without_keys(mt, t, s, node, start + 1, w, vp);
            if (threshold) {
                node.threshold = *threshold;
                if (!may_split) return std::nullopt;
                return start + 1 + a;
            }
        }
        keys.resize(w);
        distances_to(mt, t.point(start + 1), w, t.dim, vp, keys.data());
        // NaN distances are never taken as the nearest or farthest.
        bool any_nan = false;
        for (const f64 d : keys) {
            node.min_dist = d < node.min_dist ? d : node.min_dist;
            node.max_dist = d > node.max_dist ? d : node.max_dist;
            any_nan |= std::isnan(d);
        }
        // A one-point node has no distances: it stays a leaf with an empty range.
        if (w == 0) return std::nullopt;
        // NaN distances (from infinite coordinates) order last, so the order stays strict-weak;
        // without any, plain `<` is the same order and cheaper.
        const f64 da = any_nan ? select_at_rank(t, s, start + 1, a, NanLastLess{})
                               : select_at_rank(t, s, start + 1, a, PlainLess{}, true);
        if (w % 2 == 1) {
            node.threshold = da;
        } else {
            f64 m = -std::numeric_limits<f64>::infinity();
            for (u64 k = 0; k < a; ++k)
                if (keys[k] > m) m = keys[k];
            node.threshold = (m + da) * 0.5;
        }
        if (!may_split) return std::nullopt;
        return start + 1 + a;
    }

    // Nodes with more distances than this split without storing them (a buffer of one per
    // point would be the largest scratch of a big build): they are computed again for each
    // pass of the selection and the partition, bit for bit the same.
    static constexpr u64 computed_keys_min = u64{1} << 20;

    // The split of the w points from position `first` on about their distances to vp, as the
    // stored keys give it; the threshold, or none (nothing moved) when a distance is NaN and
    // the stored keys' NaN order is needed.
    template <class M>
    static std::optional<f64> split_without_keys(const M& mt, TreeData& t, BuildScratch& s, Node& node, u64 first,
                                                 u64 w, const f64* vp) {
        const u64 dim = t.dim;
        // Keys of positions first + [b, e), 64 at a time through the batched kernel.
        const auto for_keys = [&](u64 b, u64 e, auto&& f) {
            f64 d[64];
            for (u64 q = b; q < e; q += 64) {
                const u64 k = std::min<u64>(64, e - q);
                distances_to(mt, t.point(first + q), k, dim, vp, d);
                for (u64 j = 0; j < k; ++j) f(d[j]);
            }
        };
        f64 lo = node.min_dist, hi = node.max_dist;
        bool any_nan = false;
        for_keys(0, w, [&](f64 d) {
            lo = d < lo ? d : lo;
            hi = d > hi ? d : hi;
            any_nan |= std::isnan(d);
        });
        if (any_nan) return std::nullopt;
        node.min_dist = lo;
        node.max_dist = hi;
        const u64 a = w / 2;
        const f64 da = select_keys(w, a, s.selection, s.threads, for_keys);
        // The partition compares accumulations (the distances before their last step, which
        // never decreases) with the largest ones below and at the pivot: the same decisions,
        // without that step on the partition's chain of dependent loads.
        constexpr f64 inf = std::numeric_limits<f64>::infinity();
        const f64 below = da > 0.0 ? accumulation_limit(mt, std::nextafter(da, -inf)) : -inf;
        const f64 at_most = accumulation_limit(mt, da);
        // The partition asks less(key, pivot) and less(pivot, key); a NaN pivot tells them apart.
        constexpr f64 mark = std::numeric_limits<f64>::quiet_NaN();
        partition_computed(
            t, first, w, mark, [&](f64 x, f64 y) { return std::isnan(y) ? x <= below : y > at_most; },
            [&](const f64* x) {
                f64 acc;
                accumulations_to(mt, x, 1, dim, vp, &acc);
                return acc;
            });
        if (w % 2 == 1) return da;
        f64 m = -std::numeric_limits<f64>::infinity();
        for_keys(0, a, [&](f64 d) { m = d > m ? d : m; });
        return (m + da) * 0.5;
    }

    // Turns each node's vantage input row into its final position. Only vantage rows are
    // looked up (a bit per row marks them, the (row, node) pairs sorted by row find their
    // nodes): a map of every row would be the largest allocation after the build. The boxes
    // come after, once that scratch is gone.
    static void finish(TreeData& t, std::vector<Node>& nodes) {
        if (t.n_points > 0) find_vantage_positions(t, nodes);
        derive_boxes(t, nodes);
    }
    static void find_vantage_positions(const TreeData& t, std::vector<Node>& nodes) {
        // A vantage point still in its node's first position (every one under the first-point
        // selection) is found there; only the others are looked up.
        std::vector<std::pair<TreeIndex, TreeIndex>> by_row;
        std::vector<u64> marked;
        for (u64 id = 0; id < nodes.size(); ++id) {
            Node& node = nodes[id];
            const TreeIndex row = node.vantage;
            if (t.indices[node.start] == row) {
                node.vantage = node.start;
                continue;
            }
            if (marked.empty()) marked.assign((t.n_points + 63) / 64, 0);
            by_row.push_back({row, static_cast<TreeIndex>(id)});
            marked[row / 64] |= u64{1} << (row % 64);
        }
        if (by_row.empty()) return;
        std::sort(by_row.begin(), by_row.end());
        for (u64 p = 0; p < t.n_points; ++p) {
            const TreeIndex row = t.indices[p];
            if (!((marked[row / 64] >> (row % 64)) & 1)) continue;
            auto it = std::lower_bound(by_row.begin(), by_row.end(), std::pair<TreeIndex, TreeIndex>{row, 0});
            for (; it != by_row.end() && it->first == row; ++it) nodes[it->second].vantage = static_cast<TreeIndex>(p);
        }
    }

    template <class M>
    [[gnu::always_inline]] static f64 measure(const M& mt, const TreeData& t, const Node& node, const f64*, const f64* q) noexcept {
        return mt.distance(q, t.point(node.vantage), t.dim);
    }

    // Under the first-point selection a left child keeps its parent's vantage point.
    static bool same_measure(const Node& parent, const Node& child) noexcept { return child.vantage == parent.vantage; }

    // The other points lie in the shell [min_dist, max_dist] around the vantage point, which
    // itself lies at d_v: the bound is the smaller of d_v and the shell's distance, the
    // latter lowered by the rounding of the distances behind it.
    [[gnu::always_inline]] static f64 min_dist_to_node(const TreeData& t, const Node& node, f64 dv) noexcept {
        if (node.count() == 1) return dv;
        // abs_slack (0 unless periodic) covers the absolute rounding of wrapped differences.
        const f64 a = ((dv - node.max_dist) - (dv + node.max_dist) * (2.0 * t.slack)) - t.abs_slack;
        const f64 b = ((node.min_dist - dv) - (node.min_dist + dv) * (2.0 * t.slack)) - t.abs_slack;
        f64 shell = std::isnan(a) || b > a ? b : a;
        if (!(shell > 0.0)) shell = 0.0;
        return dv < shell ? dv : shell;
    }
    [[gnu::always_inline]] static f64 lower_bound(const TreeData& t, const Node& node, f64 dv) noexcept {
        return min_dist_to_node(t, node, dv);
    }

    // The split confines each child to a shell about the parent's vantage point: the right
    // child's points lie at [threshold, max_dist] from it, the left child's others at
    // [min_dist, threshold] and its vantage point at 0. A child's own vantage point is
    // generally another point, whose ball about a shell is loose, so the parent's shell and
    // the parent's bound (its points include the child's) are handed down. Rounding is
    // allowed for as in min_dist_to_node; nothing is handed down unless every value is finite.
    [[gnu::always_inline]] static void child_floors(const TreeData& t, const Node& node, f64 dv, f64 bound, f64& left,
                             f64& right) noexcept {
        left = right = bound;
        const f64 thr = node.threshold, lo = node.min_dist, hi = node.max_dist;
        if (!(std::isfinite(dv) && std::isfinite(thr) && std::isfinite(lo) && std::isfinite(hi))) return;
        const f64 e = 2.0 * t.slack;
        const f64 beyond = ((thr - dv) - (thr + dv) * e) - t.abs_slack;  // outside the threshold
        const f64 outside = ((dv - hi) - (dv + hi) * e) - t.abs_slack;   // beyond the shell
        const f64 within = ((dv - thr) - (dv + thr) * e) - t.abs_slack;  // inside the threshold
        const f64 inner = ((lo - dv) - (lo + dv) * e) - t.abs_slack;     // inside the shell
        const f64 r = beyond > outside ? beyond : outside;
        f64 l = within > inner ? within : inner;
        if (dv < l) l = dv;
        if (r > right) right = r;
        if (l > left) left = l;
    }

    // Equal to the threshold or NaN: right first.
    static bool left_first(const TreeData&, const Node& node, f64 dv, f64, f64, const f64*) noexcept { return dv < node.threshold; }

    static NearFar near_far(const TreeData&, const Node& node, const f64*, f64 dv, const f64*) noexcept {
        const f64 near = dv - node.max_dist;
        return {near > 0.0 ? near : 0.0, dv + node.max_dist};
    }

    static f64 span(const TreeData&, const Node& node, const f64*) noexcept { return node.max_dist - node.min_dist; }
};

static_assert(NodePolicy<VpPolicy>);

using VPNode = VpPolicy::Node;
using VPTree = SpatialTree<VpPolicy>;
extern template class SpatialTree<VpPolicy>;

}  // namespace veltrix
