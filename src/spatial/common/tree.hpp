// The one body of the three spatial trees: build, k-nearest search, radius search and the
// density recursion, written once over a node policy (KdPolicy, BallPolicy, VpPolicy) that
// supplies only what differs: how a node is built and bounded, how far a query is from it,
// and in which order a k-nearest search visits its children.
#pragma once

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <concepts>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "array/error.hpp"
#include "array/messages.hpp"
#include "array/ndarray.hpp"
#include "spatial/common/approx.hpp"
#include "spatial/common/metric.hpp"
#include "spatial/common/neighbor_heap.hpp"

namespace veltrix {

inline constexpr u64 no_child = ~u64{0};

// Range and links that every node record starts with. Nodes are numbered in pre-order, so
// an internal node's left child is always the next node.
struct TreeNode {
    u64 start = 0, end = 0;
    u64 left = no_child, right = no_child;

    bool is_leaf() const noexcept { return left == no_child; }
    u64 count() const noexcept { return end - start; }
};

// What a node policy may read of a tree.
struct TreeData {
    std::vector<u64> indices;      // indices[p]: input row of the point at position p
    std::vector<f64> data;         // row p is the point at position p, during the build too
    std::vector<f64> node_floats;  // block_len floats per node, in node order
    u64 n_points = 0, dim = 0, leaf_size = 0, block_len = 0;
    DistanceMetric metric = DistanceMetric::Euclidean;
    // Relative rounding error allowed for one computed distance; prune bounds are lowered by
    // it so that no point the leaf test would accept is ever pruned.
    f64 slack = 0.0;

    const f64* point(u64 pos) const noexcept { return data.data() + pos * dim; }
    const f64* block(u64 node) const noexcept { return node_floats.data() + node * block_len; }

    // Exchanges the points at two positions: coordinates and input row numbers together.
    void swap_points(u64 a, u64 b) noexcept {
        std::swap(indices[a], indices[b]);
        f64* ra = data.data() + a * dim;
        std::swap_ranges(ra, ra + dim, data.data() + b * dim);
    }
};

// Buffers reused by every node of one build.
struct BuildScratch {
    std::vector<f64> keys, selection;  // one key per position of the node being split
    std::vector<f64> lo, hi;
};

// The value of rank `rank` among a[0, n) under `less`, reordering a. Quickselect with a
// branch-free partition: the keys split about evenly around a median-of-three pivot, so a
// branch on each comparison would mispredict half the time. A run of keys equal to the pivot
// is peeled off when nothing lies below it, so duplicates cannot stall the loop; a pivot
// sequence that stops shrinking the range hands over to std::nth_element.
template <class Less>
f64 select_value(f64* a, u64 n, u64 rank, Less less) {
    const auto median3 = [&](f64 x, f64 y, f64 z) {
        if (less(y, x)) std::swap(x, y);
        if (less(z, y)) {
            y = z;
            if (less(y, x)) y = x;
        }
        return y;
    };
    u64 budget = 2 * static_cast<u64>(std::bit_width(n)) + 8;
    while (n > 32) {
        if (budget-- == 0) break;
        f64 p;
        if (n >= 1024) {
            const u64 e = n / 8;
            p = median3(median3(a[0], a[e], a[2 * e]), median3(a[3 * e], a[n / 2], a[5 * e]),
                        median3(a[6 * e], a[7 * e], a[n - 1]));
        } else {
            p = median3(a[0], a[n / 2], a[n - 1]);
        }
        // [0, j) below the pivot, [j, i) not below it; a swap that is not wanted stays inside
        // the second group, so every key can be swapped unconditionally.
        u64 j = 0;
        for (u64 i = 0; i < n; ++i) {
            const f64 x = a[i];
            const bool below = less(x, p);
            a[i] = a[j];
            a[j] = x;
            j += below;
        }
        if (j == 0) {
            // Nothing below: the keys equal to the pivot come first, then the larger ones.
            u64 k = 0;
            for (u64 i = 0; i < n; ++i) {
                const f64 x = a[i];
                const bool equal = !less(p, x);
                a[i] = a[k];
                a[k] = x;
                k += equal;
            }
            if (rank < k) return p;
            a += k;
            n -= k;
            rank -= k;
        } else if (rank < j) {
            n = j;
        } else {
            a += j;
            n -= j;
            rank -= j;
        }
    }
    std::nth_element(a, a + rank, a + n, less);
    return a[rank];
}

// The three-way partition of select_at_rank over n points at pts (D coordinates each when D
// is not 0, `dim` otherwise, so that the common small dimensions swap without a loop).
template <u64 D, class Less>
void partition_points(f64* k, u64* idx, f64* pts, u64 n, u64 dim, f64 pivot, Less less) noexcept {
    if constexpr (D != 0) dim = D;
    u64 lt = 0, i = 0, gt = n;
    while (i < gt) {
        const f64 x = k[i];
        const bool below = less(x, pivot), above = less(pivot, x);
        // Masks rather than a conditional, which the compiler would turn back into branches.
        const u64 mb = u64{0} - u64{below}, ma = u64{0} - u64{above};
        const u64 j = (lt & mb) | ((gt - 1) & ma) | (i & ~(mb | ma));
        k[i] = k[j];
        k[j] = x;
        std::swap(idx[i], idx[j]);
        // Rarely equal for spread-out data; distinct points never overlap.
        if (j != i) {
            f64* __restrict pi = pts + i * dim;
            f64* __restrict pj = pts + j * dim;
            for (u64 c = 0; c < dim; ++c) {
                const f64 v = pi[c];
                pi[c] = pj[c];
                pj[c] = v;
            }
        }
        lt += below;
        gt -= above;
        i += !above;
    }
}

// Orders positions [first, first + keys.size()) by their keys so that the position of `rank`
// holds the key of that rank, with every key before it `less`-or-equal and every key after it
// greater-or-equal: a selection of the pivot value on a copy of the keys, then one three-way
// partition that swaps whole points (keys below, equal to, above the pivot), so the point at
// `rank` has the pivot. Swapping in place beats scattering into a buffer even at 16 dimensions.
// The partition is written without branches on the comparisons: each step swaps the key under
// examination with its destination (itself when it equals the pivot).
template <class Less>
f64 select_at_rank(TreeData& t, BuildScratch& s, u64 first, u64 rank, Less less) {
    std::vector<f64>& keys = s.keys;
    const u64 n = keys.size();
    s.selection.assign(keys.begin(), keys.end());
    const f64 pivot = select_value(s.selection.data(), n, rank, less);
    f64* k = keys.data();
    u64* idx = t.indices.data() + first;
    f64* pts = t.data.data() + first * t.dim;
    switch (t.dim) {
        case 1: partition_points<1>(k, idx, pts, n, t.dim, pivot, less); break;
        case 2: partition_points<2>(k, idx, pts, n, t.dim, pivot, less); break;
        case 3: partition_points<3>(k, idx, pts, n, t.dim, pivot, less); break;
        case 4: partition_points<4>(k, idx, pts, n, t.dim, pivot, less); break;
        default: partition_points<0>(k, idx, pts, n, t.dim, pivot, less); break;
    }
    return pivot;
}

struct NearFar {
    f64 near, far;
};

template <class P>
concept NodePolicy = requires(TreeData& building, BuildScratch& scratch, const TreeData& tree,
                              const typename P::Options& options, typename P::Node& fresh,
                              const typename P::Node& node, std::vector<typename P::Node>& nodes,
                              const typename P::Measure& m, const f64* q, f64* block, u64 n, bool may_split) {
    // The node record: TreeNode's range and links plus the policy's own scalars.
    requires std::derived_from<typename P::Node, TreeNode>;
    // Build settings kept with the tree (the vantage selection; nothing for the others).
    typename P::Options;
    // What one visit measures for a query at a node; bound, order and approximation share it.
    typename P::Measure;
    // Floats each node keeps in the tree's flat block storage (box corners, centroid).
    { P::floats_per_node(n) } -> std::same_as<u64>;
    // Fills a node over [start, end), rearranging indices there; the split position, or none for a leaf.
    { P::template build<EuclideanMetric>(building, scratch, options, fresh, block, may_split) }
        -> std::same_as<std::optional<u64>>;
    // Runs once after the build, with the data in tree order.
    { P::finish(building, nodes) } -> std::same_as<void>;
    // The query's measure at a node.
    { P::template measure<EuclideanMetric>(tree, node, tree.block(n), q) } -> std::same_as<typename P::Measure>;
    // Floored at 0 and never above the computed distance of any point of the node.
    { P::lower_bound(tree, node, m) } -> std::same_as<f64>;
    // Whether a k-nearest search visits the left child first (node measure, then the children's).
    { P::left_first(node, m, m, m, q) } -> std::same_as<bool>;
    // Near and far distances of the two-point estimate of a node's density.
    { P::near_far(tree, node, tree.block(n), m, q) } -> std::same_as<NearFar>;
    // The node's extent compared with the max_span criterion.
    { P::span(tree, node, tree.block(n)) } -> std::same_as<f64>;
};

// ---------------------------------------------------------------------------------------------
// Build pieces shared by the trees that split at the median of the widest coordinate.

// Coordinate sums (each in position order, from +0.0) and extremes over the n points at x,
// W coordinates from j0 on per pass so that the running values stay in registers: pairs of
// coordinates in two-lane vectors (lane-wise, so each sum keeps its own order), an odd one alone.
using F64x2 = f64 __attribute__((vector_size(16)));

template <u64 W, bool WithSum>
void sum_and_box_block(const f64* x, u64 n, u64 dim, u64 j0, f64* sum, f64* lo, f64* hi) noexcept {
    constexpr u64 V = W / 2;
    constexpr f64 inf = std::numeric_limits<f64>::infinity();
    F64x2 s[V > 0 ? V : 1], l[V > 0 ? V : 1], h[V > 0 ? V : 1];
    for (u64 c = 0; c < V; ++c) {
        s[c] = F64x2{0.0, 0.0};
        l[c] = F64x2{inf, inf};
        h[c] = F64x2{-inf, -inf};
    }
    f64 s1 = 0.0, l1 = inf, h1 = -inf;
    for (u64 q = 0; q < n; ++q) {
        const f64* p = x + q * dim + j0;
        for (u64 c = 0; c < V; ++c) {
            F64x2 v;
            std::memcpy(&v, p + 2 * c, sizeof v);
            if constexpr (WithSum) s[c] = s[c] + v;
            l[c] = v < l[c] ? v : l[c];
            h[c] = v > h[c] ? v : h[c];
        }
        if constexpr (W % 2 == 1) {
            const f64 v = p[W - 1];
            if constexpr (WithSum) s1 = s1 + v;
            l1 = v < l1 ? v : l1;
            h1 = v > h1 ? v : h1;
        }
    }
    for (u64 c = 0; c < V; ++c) {
        for (u64 e = 0; e < 2; ++e) {
            if constexpr (WithSum) sum[j0 + 2 * c + e] = s[c][e];
            lo[j0 + 2 * c + e] = l[c][e];
            hi[j0 + 2 * c + e] = h[c][e];
        }
    }
    if constexpr (W % 2 == 1) {
        if constexpr (WithSum) sum[j0 + W - 1] = s1;
        lo[j0 + W - 1] = l1;
        hi[j0 + W - 1] = h1;
    }
}

// Sums are skipped (sum may be null) without WithSum.
template <bool WithSum>
void sum_and_box(const f64* x, u64 n, u64 dim, f64* sum, f64* lo, f64* hi) noexcept {
    u64 j0 = 0;
    for (; j0 + 8 <= dim; j0 += 8) sum_and_box_block<8, WithSum>(x, n, dim, j0, sum, lo, hi);
    switch (dim - j0) {
        case 7: sum_and_box_block<7, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 6: sum_and_box_block<6, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 5: sum_and_box_block<5, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 4: sum_and_box_block<4, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 3: sum_and_box_block<3, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 2: sum_and_box_block<2, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        case 1: sum_and_box_block<1, WithSum>(x, n, dim, j0, sum, lo, hi); break;
        default: break;
    }
}

// Per-coordinate extremes of the node's points (NaN coordinates are refused before the build).
inline void bounding_box(const TreeData& t, u64 start, u64 end, f64* lo, f64* hi) noexcept {
    sum_and_box<false>(t.point(start), end - start, t.dim, nullptr, lo, hi);
}

// The first coordinate of largest positive spread; 0 when none is positive.
inline u64 widest_dim(const f64* lo, const f64* hi, u64 dim) noexcept {
    f64 best = 0.0;
    u64 chosen = 0;
    for (u64 j = 0; j < dim; ++j) {
        const f64 spread = hi[j] - lo[j];
        if (spread > best) {
            best = spread;
            chosen = j;
        }
    }
    return chosen;
}

// Selects the median of coordinate `sd` into position start + (end - start) / 2 and returns
// that position. NaN coordinates are refused before the build, so `<` orders the keys.
inline u64 split_at_median(TreeData& t, BuildScratch& s, u64 start, u64 end, u64 sd) {
    const u64 n = end - start;
    s.keys.resize(n);
    for (u64 k = 0; k < n; ++k) s.keys[k] = t.point(start + k)[sd];
    select_at_rank(t, s, start, n / 2, [](f64 a, f64 b) { return a < b; });
    return start + n / 2;
}

// ---------------------------------------------------------------------------------------------

template <NodePolicy P>
class SpatialTree : public TreeData {
public:
    using Node = typename P::Node;
    using Options = typename P::Options;
    using Measure = typename P::Measure;

    std::vector<Node> nodes;
    Options options{};

    static Result<SpatialTree> from_ndarray(const Array64& points, u64 leaf_size, DistanceMetric metric,
                                            Options options = {}) {
        if (points.ndim() != 2) VELTRIX_FAIL(msg::points_rank);
        if (leaf_size == 0) return Error{msg::leaf_size_zero};
        for (f64 x : points.data)
            if (std::isnan(x)) return Error{msg::nan_points};
        SpatialTree t;
        t.n_points = points.shape[0];
        t.dim = points.shape[1];
        t.leaf_size = leaf_size;
        t.metric = metric;
        t.options = options;
        t.block_len = P::floats_per_node(t.dim);
        t.slack = static_cast<f64>(2 * t.dim + 4) * DBL_EPSILON;
        t.data = points.data;
        t.indices.resize(t.n_points);
        std::iota(t.indices.begin(), t.indices.end(), u64{0});
        // Every leaf below a split holds at least half a leaf's worth (rounded up), which
        // bounds the node count so that neither vector grows during the build.
        const u64 min_leaf = (leaf_size - 1) / 2 + 1;
        const u64 expected_nodes = 2 * (t.n_points / min_leaf) + 1;
        t.nodes.reserve(expected_nodes);
        t.node_floats.reserve(expected_nodes * t.block_len);
        BuildScratch scratch;
        scratch.keys.reserve(t.n_points);
        scratch.selection.reserve(t.n_points);
        scratch.lo.resize(t.dim);
        scratch.hi.resize(t.dim);
        // The build moves whole points, so the data ends in tree order.
        with_metric(metric, [&]<class M>() { t.template build_recursive<M>(scratch, 0, t.n_points); });
        P::finish(t, t.nodes);
        return t;
    }

    // Input rows of the k nearest points, nearest first.
    std::vector<u64> query_knn(const f64* query, u64 k) const {
        if (k == 0 || n_points == 0) return {};
        return with_metric(metric, [&]<class M>() {
            NeighborHeap heap(std::min(k, n_points));
            query_knn_recursive<M>(0, measure<M>(0, query), query, heap, k);
            return std::move(heap).into_sorted_rows();
        });
    }

    // Input rows within `radius` (inclusive), in depth-first visiting order.
    std::vector<u64> query_radius(const f64* query, f64 radius) const {
        std::vector<u64> out;
        if (n_points == 0) return out;
        with_metric(metric, [&]<class M>() {
            query_radius_recursive<M>(0, measure<M>(0, query), query, radius, out);
        });
        return out;
    }

    Result<Array64> kernel_density(const Array64& queries, KernelType kernel, f64 bandwidth) const {
        return kernel_density_approx(queries, kernel, ApproxCriterion::none(), bandwidth);
    }

    // One density per query row, in row order.
    Result<Array64> kernel_density_approx(const Array64& queries, KernelType kernel,
                                          const ApproxCriterion& criterion, f64 bandwidth) const {
        if (queries.ndim() != 2) VELTRIX_FAIL(msg::queries_rank);
        VELTRIX_ASSERT_EQ(queries.shape[1], dim, msg::query_dimension);
        if (!(bandwidth > 0.0)) return Error{msg::bandwidth};
        const u64 nq = queries.shape[0];
        Array64 out = Array64::zeros(Shape::d1(nq));
        densities(kernel, criterion, bandwidth, nq, [&](u64 i) { return queries.data.data() + i * dim; },
                  [&](u64 i) { return i; }, out.data.data());
        return out;
    }

    // Densities at the stored points themselves, reported in input-row order.
    Result<Array64> kernel_density_at_points(KernelType kernel, const ApproxCriterion& criterion,
                                             f64 bandwidth) const {
        if (!(bandwidth > 0.0)) return Error{msg::bandwidth};
        Array64 out = Array64::zeros(Shape::d1(n_points));
        densities(kernel, criterion, bandwidth, n_points, [&](u64 p) { return point(p); },
                  [&](u64 p) { return indices[p]; }, out.data.data());
        return out;
    }

private:
    template <class M>
    u64 build_recursive(BuildScratch& scratch, u64 start, u64 end) {
        const u64 id = nodes.size();
        nodes.emplace_back();
        node_floats.resize(node_floats.size() + block_len);
        Node node;
        node.start = start;
        node.end = end;
        // Dimension 0 has no coordinate to split on: such nodes stay leaves.
        const bool may_split = end - start > leaf_size && dim > 0;
        const std::optional<u64> mid =
            P::template build<M>(*this, scratch, options, node, node_floats.data() + id * block_len, may_split);
        nodes[id] = node;
        if (mid) {
            const u64 left = build_recursive<M>(scratch, start, *mid);
            const u64 right = build_recursive<M>(scratch, *mid, end);
            nodes[id].left = left;
            nodes[id].right = right;
        }
        return id;
    }

    template <class M>
    Measure measure(u64 id, const f64* q) const {
        return P::template measure<M>(*this, nodes[id], block(id), q);
    }

    template <class M>
    void query_knn_recursive(u64 id, const Measure& m, const f64* q, NeighborHeap& heap, u64 k) const {
        const Node& node = nodes[id];
        if (heap.size() == k && P::lower_bound(*this, node, m) > heap.max_dist()) return;
        if (node.is_leaf()) {
            const f64* x = point(node.start);
            for (u64 p = node.start; p < node.end; ++p, x += dim) {
                const f64 d = M::distance(q, x, dim);
                if (heap.size() < k) {
                    heap.push({d, indices[p]});
                } else if (heap.max_dist() > d) {
                    // A point at exactly the k-th distance never displaces an entry.
                    heap.pop();
                    heap.push({d, indices[p]});
                }
            }
            return;
        }
        const Measure ml = measure<M>(node.left, q), mr = measure<M>(node.right, q);
        if (P::left_first(node, m, ml, mr, q)) {
            query_knn_recursive<M>(node.left, ml, q, heap, k);
            query_knn_recursive<M>(node.right, mr, q, heap, k);
        } else {
            query_knn_recursive<M>(node.right, mr, q, heap, k);
            query_knn_recursive<M>(node.left, ml, q, heap, k);
        }
    }

    template <class M>
    void query_radius_recursive(u64 id, const Measure& m, const f64* q, f64 radius,
                                std::vector<u64>& out) const {
        const Node& node = nodes[id];
        // A node whose bound lies exactly at the radius is searched.
        if (P::lower_bound(*this, node, m) > radius) return;
        if (node.is_leaf()) {
            const f64* x = point(node.start);
            for (u64 p = node.start; p < node.end; ++p, x += dim)
                if (M::distance(q, x, dim) <= radius) out.push_back(indices[p]);
            return;
        }
        query_radius_recursive<M>(node.left, measure<M>(node.left, q), q, radius, out);
        query_radius_recursive<M>(node.right, measure<M>(node.right, q), q, radius, out);
    }

    // Adds the node's contribution to `acc`, in traversal order (left before right).
    template <class M, class K>
    void kde_recursive(u64 id, const Measure& m, const f64* q, f64& acc, f64 h,
                       const ApproxCriterion& criterion) const {
        const Node& node = nodes[id];
        // Case 1: even the nearest possible point weighs (almost) nothing; leaves too.
        if (K::negligible(P::lower_bound(*this, node, m) / h)) return;
        if (node.is_leaf()) {
            const f64* x = point(node.start);
            for (u64 p = node.start; p < node.end; ++p, x += dim) acc = acc + K::value(M::distance(q, x, dim) / h);
            return;
        }
        // Case 2: the criterion lets the whole node count as the mean of its near and far weights.
        if (criterion.approximates(node.count(), [&] { return P::span(*this, node, block(id)); })) {
            const NearFar nf = P::near_far(*this, node, block(id), m, q);
            acc = ((K::value(nf.far / h) + K::value(nf.near / h)) * 0.5) * static_cast<f64>(node.count()) + acc;
            return;
        }
        kde_recursive<M, K>(node.left, measure<M>(node.left, q), q, acc, h, criterion);
        kde_recursive<M, K>(node.right, measure<M>(node.right, q), q, acc, h, criterion);
    }

    template <class QueryAt, class SlotOf>
    void densities(KernelType kernel, const ApproxCriterion& criterion, f64 h, u64 nq, QueryAt query_at,
                   SlotOf slot_of, f64* out) const {
        if (n_points == 0) return;  // every density of an empty tree is 0
        with_metric(metric, [&]<class M>() {
            with_kernel(kernel, [&]<class K>() {
                for (u64 i = 0; i < nq; ++i) {
                    const f64* q = query_at(i);
                    f64 acc = 0.0;
                    kde_recursive<M, K>(0, measure<M>(0, q), q, acc, h, criterion);
                    out[slot_of(i)] = acc;
                }
            });
        });
    }
};

}  // namespace veltrix
