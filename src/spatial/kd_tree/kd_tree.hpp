// k-d tree: nodes bounded by their exact boxes, split at the median of the widest coordinate.
#pragma once

#include "spatial/common/tree.hpp"

namespace veltrix {

struct KdPolicy {
    // The split value is not stored: it is the median selected at the split, which is the
    // smallest coordinate of the right child along split_dim, its box's lower corner there.
    struct Node : TreeNode {
        TreeIndex split_dim = 0;
    };
    struct Options {};
    using Measure = f64;  // distance from the query to the node's box

    // min_bounds, then max_bounds.
    static u64 floats_per_node(u64 dim) noexcept { return 2 * dim; }

    template <class M>
    static std::optional<u64> build(const M&, TreeData& t, BuildScratch& s, const Options&, Node& node, f64* block,
                                    bool may_split) {
        f64* lo = block;
        f64* hi = block + t.dim;
        bounding_box(t, node.start, node.end, lo, hi, s.threads);
        node.split_dim = static_cast<TreeIndex>(widest_dim(lo, hi, t.dim));
        if (!may_split) return std::nullopt;
        return split_at_median(t, s, node.start, node.end, node.split_dim);
    }

    static void finish(TreeData&, std::vector<Node>&) noexcept {}

    // The gap between coordinate q and [lo, hi] the shorter way round a circle of length L
    // (all three in [0, L)): 0 inside, else the nearer end's wrapped distance. Each term is
    // monotone under rounding in the point's coordinate, so no computed point distance
    // inside the box is smaller.
    static f64 periodic_gap(f64 q, f64 lo, f64 hi, f64 L) noexcept {
        const f64 a = std::fabs(q - lo), b = std::fabs(q - hi);
        const f64 wa = min_or_second(L - a, a), wb = min_or_second(L - b, b);
        // +0.0 where lo <= q <= hi, selected by a mask rather than a branch.
        const __m128d vq = _mm_set_sd(q);
        const __m128d inside = _mm_and_pd(_mm_cmpge_sd(vq, _mm_set_sd(lo)), _mm_cmple_sd(vq, _mm_set_sd(hi)));
        return _mm_cvtsd_f64(_mm_andnot_pd(inside, _mm_set_sd(min_or_second(wa, wb))));
    }

    // Euclidean box distance, except under Chebyshev, where a point can be closer than its
    // Euclidean box distance: there the largest per-coordinate gap is the lower bound. On a
    // torus the gaps are periodic_gap's. Boxes may also be single precision (rounded outward).
    template <class M, class B>
    static f64 measure(const M& mt, const TreeData& t, const Node& node, const B* block, const f64* q) noexcept {
        const B* lo = block;
        const B* hi = block + t.dim;
        if constexpr (std::is_same_v<M, AnyPeriodic>) {
            return mt.with([&](const auto& base) { return measure(base, t, node, block, q); });
        } else if constexpr (is_periodic<M>) {
            f64 s = 0.0;
            for (u64 i = 0; i < t.dim; ++i) {
                const f64 g = periodic_gap(q[i], lo[i], hi[i], mt.box[i]);
                if constexpr (M::id == DistanceMetric::Chebyshev) s = g > s ? g : s;
                else s = s + g * g;
            }
            if constexpr (M::id == DistanceMetric::Chebyshev) return s;
            else if constexpr (M::id == DistanceMetric::Manhattan) return finite_for_manhattan(s, t, lo, hi, q, &mt);
            else return std::sqrt(s);
        } else if constexpr (M::id == DistanceMetric::Chebyshev) {
            return largest_gap(t, lo, hi, q);
        } else if constexpr (M::id == DistanceMetric::Manhattan) {
            return finite_for_manhattan(gap_sum(t, block, q), t, lo, hi, q, static_cast<const M*>(nullptr));
        } else {
            return std::sqrt(gap_sum(t, block, q));
        }
    }

    // The largest per-coordinate gap of q outside the box (periodic ones with `mt`): at most
    // the Euclidean and the Manhattan box distance.
    template <class B, class M = EuclideanMetric>
    static f64 largest_gap(const TreeData& t, const B* lo, const B* hi, const f64* q, const M* mt = nullptr) noexcept {
        f64 r = 0.0;
        for (u64 i = 0; i < t.dim; ++i) {
            f64 gap;
            if constexpr (is_periodic<M>) gap = periodic_gap(q[i], lo[i], hi[i], mt->box[i]);
            else gap = box_gap(q[i], lo[i], hi[i]);
            if (gap > r) r = gap;
        }
        return r;
    }

    // The Euclidean box distance from its squared gaps, the bound for Manhattan distances too;
    // but squares of gaps beyond about 1e154 overflow while a Manhattan distance stays finite,
    // so there the largest gap stands in (an infinite bound pruned nodes within reach).
    template <class B, class M>
    static f64 finite_for_manhattan(f64 squares, const TreeData& t, const B* lo, const B* hi, const f64* q,
                                    const M* mt) noexcept {
        if (squares != std::numeric_limits<f64>::infinity()) return std::sqrt(squares);  // NaN stays NaN
        if constexpr (is_periodic<M>) return largest_gap(t, lo, hi, q, mt);
        else return largest_gap(t, lo, hi, q);
    }

    // The Euclidean box distance before its square root: the squared gaps of q outside the
    // box, added in coordinate order. A coordinate inside the box adds +0.0, which leaves the
    // non-negative sum as it was: the same bits as adding only the outside gaps, without a
    // branch to mispredict.
    template <class B>
    [[gnu::always_inline]] static f64 gap_sum(const TreeData& t, const B* block, const f64* q) noexcept {
        const B* lo = block;
        const B* hi = block + t.dim;
        f64 s = 0.0;
        for (u64 i = 0; i < t.dim; ++i) {
            const f64 g = box_gap(q[i], lo[i], hi[i]);
            s = s + g * g;
        }
        return s;
    }

    // The gap between coordinate q and [lo, hi], 0 inside: at most one of the two differences
    // is positive (lo <= hi), and that one is the gap; a NaN coordinate gives 0, as comparisons
    // would. Maxima, not comparisons: whether a point lies beyond a side is a coin toss.
    static f64 box_gap(f64 q, f64 lo, f64 hi) noexcept { return max_or_second(max_or_second(lo - q, q - hi), 0.0); }

    // Both box distances are exact lower bounds of the Euclidean and Chebyshev distances as
    // computed; against Manhattan distances the Euclidean one gets the rounding slack.
    static f64 lower_bound(const TreeData& t, const Node&, f64 box) noexcept {
        return t.metric == DistanceMetric::Manhattan ? box - box * t.slack : box;
    }

    // The split value, read from the right child's box (which the search has just measured).
    static f64 split_value(const TreeData& t, const Node& node) noexcept { return t.block(node.right)[node.split_dim]; }

    // A NaN query coordinate goes right first.
    static bool left_first(const TreeData& t, const Node& node, f64, f64, f64, const f64* q) noexcept {
        return q[node.split_dim] <= split_value(t, node);
    }

    // Always Euclidean: to the nearest point of the box and to its farthest corner. On a
    // torus: the periodic gap, and per coordinate half the circle when the box's arc holds the
    // point opposite q, else the farther end's wrapped distance.
    static NearFar near_far(const TreeData& t, const Node&, const f64* block, f64, const f64* q) noexcept {
        const f64* lo = block;
        const f64* hi = block + t.dim;
        f64 sn = 0.0, sf = 0.0;
        if (t.periodic()) {
            for (u64 i = 0; i < t.dim; ++i) {
                const f64 L = t.box[i];
                const f64 tn = periodic_gap(q[i], lo[i], hi[i], L);
                sn = tn * tn + sn;
                const f64 opposite = wrap_coordinate(q[i] + L * 0.5, L);
                f64 tf = L * 0.5;
                if (!(opposite >= lo[i] && opposite <= hi[i])) {
                    const f64 a = std::fabs(q[i] - lo[i]), b = std::fabs(q[i] - hi[i]);
                    const f64 wa = L - a < a ? L - a : a, wb = L - b < b ? L - b : b;
                    tf = wa > wb ? wa : wb;
                }
                sf = tf * tf + sf;
            }
            return {std::sqrt(sn), std::sqrt(sf)};
        }
        for (u64 i = 0; i < t.dim; ++i) {
            const f64 c = q[i] < lo[i] ? lo[i] : (q[i] > hi[i] ? hi[i] : q[i]);
            const f64 tn = q[i] - c;
            sn = tn * tn + sn;
            const f64 corner = std::fabs(q[i] - hi[i]) < std::fabs(q[i] - lo[i]) ? lo[i] : hi[i];
            const f64 tf = q[i] - corner;
            sf = tf * tf + sf;
        }
        return {std::sqrt(sn), std::sqrt(sf)};
    }

    // Euclidean length of the box diagonal.
    static f64 span(const TreeData& t, const Node&, const f64* block) noexcept {
        const f64* lo = block;
        const f64* hi = block + t.dim;
        f64 s = 0.0;
        for (u64 i = 0; i < t.dim; ++i) {
            const f64 d = hi[i] - lo[i];
            s = d * d + s;
        }
        return std::sqrt(s);
    }
};

static_assert(NodePolicy<KdPolicy>);

using KDNode = KdPolicy::Node;
using KDTree = SpatialTree<KdPolicy>;
extern template class SpatialTree<KdPolicy>;

}  // namespace veltrix
