// What one tree search collects: k nearest, everything within a radius (with or without the
// distances, or only counted), or a kernel density. The search itself is written once
// (SpatialTree::search) and asks its result set only these questions:
//   near_first      whether internal nodes are visited nearer child first (else left first);
//   summarizes      whether summarize() may stand in for a whole internal node;
//   prunes(bound)   whether a node whose points are all at least `bound` away is skipped;
//   exact_prune     whether a skipped node only ever held points the set would not take, so
//                   that a tighter valid bound changes nothing but the work (not so for a
//                   density, where a pruned node's small terms are left out of the sum);
//   add(d, rows, n) takes the n distances of consecutive leaf points and their input rows
//                   (d may be overwritten).
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <vector>

#include "spatial/common/approx.hpp"
#include "spatial/common/metric.hpp"
#include "spatial/common/neighbor_heap.hpp"

namespace veltrix {

// A position, input row or node number inside one tree (see max_tree_points).
using TreeIndex = std::uint32_t;

template <class R>
concept ResultSet = requires(R& r, const R& cr, f64* d, const TreeIndex* rows, u64 n, f64 bound) {
    { R::near_first } -> std::convertible_to<bool>;
    { R::summarizes } -> std::convertible_to<bool>;
    { R::exact_prune } -> std::convertible_to<bool>;
    { cr.prunes(bound) } -> std::same_as<bool>;
    { r.add(d, rows, n) } -> std::same_as<void>;
};

// The k nearest within `limit` (inclusive), in the shared heap. Until it holds k entries only
// the limit prunes; with the limit infinite, every comparison with it is false.
struct KnnResults {
    static constexpr bool near_first = true;
    static constexpr bool summarizes = false;
    static constexpr bool exact_prune = true;

    NeighborHeap heap;
    u64 k;
    f64 limit;

    explicit KnnResults(u64 k, f64 limit = std::numeric_limits<f64>::infinity()) : heap(k), k(k), limit(limit) {}

    bool prunes(f64 bound) const noexcept { return bound > limit || (heap.size() == k && bound > heap.max_dist()); }

    void add(const f64* d, const TreeIndex* rows, u64 n) {
        for (u64 j = 0; j < n; ++j) {
            if (d[j] > limit) continue;
            if (heap.size() < k) {
                heap.push({d[j], rows[j]});
            } else if (heap.max_dist() > d[j]) {
                // A point at exactly the k-th distance never displaces an entry.
                heap.pop();
                heap.push({d[j], rows[j]});
            }
        }
    }
};

// Every point within the radius (inclusive), appended in visiting order; with the distances
// too when `dists` is given. A node at exactly the radius is searched.
struct RadiusResults {
    static constexpr bool near_first = false;
    static constexpr bool summarizes = false;
    static constexpr bool exact_prune = true;

    f64 radius;
    std::vector<u64>* rows;
    std::vector<f64>* dists;  // null: distances not kept

    bool prunes(f64 bound) const noexcept { return bound > radius; }

    void add(const f64* d, const TreeIndex* r, u64 n) {
        for (u64 j = 0; j < n; ++j) {
            if (d[j] <= radius) {
                rows->push_back(r[j]);
                if (dists) dists->push_back(d[j]);
            }
        }
    }
};

// The number of points within the radius, found as RadiusResults finds them.
struct RadiusCount {
    static constexpr bool near_first = false;
    static constexpr bool summarizes = false;
    static constexpr bool exact_prune = true;

    f64 radius;
    u64 count = 0;

    bool prunes(f64 bound) const noexcept { return bound > radius; }

    void add(const f64* d, const TreeIndex*, u64 n) noexcept {
        for (u64 j = 0; j < n; ++j) count += d[j] <= radius;
    }
};

// The radius results of a batch, row after row: query row i owns entries
// [offsets[i], offsets[i + 1]) of `rows` and, when distances were kept, of `dists`.
struct RadiusBatch {
    std::vector<u64> offsets;
    std::vector<u64> rows;
    std::vector<f64> dists;

    // What one block of rows [begin, begin + first.size()) found, in the order it searched
    // them: row begin + j owns count[j] entries from first[j] on.
    struct Part {
        u64 begin = 0;
        std::vector<u64> first, count, rows;
        std::vector<f64> dists;
    };

    // The parts of consecutive blocks covering m rows, in row order.
    static RadiusBatch assemble(const std::vector<Part>& parts, u64 m, bool with_dists) {
        RadiusBatch out;
        out.offsets.resize(m + 1);
        u64 i = 0;
        for (const Part& p : parts)
            for (const u64 c : p.count) out.offsets[i + 1] = out.offsets[i] + c, ++i;
        out.rows.resize(out.offsets[m]);
        if (with_dists) out.dists.resize(out.offsets[m]);
        for (const Part& p : parts) {
            for (u64 j = 0; j < p.count.size(); ++j) {
                const u64 at = out.offsets[p.begin + j], from = p.first[j], n = p.count[j];
                std::copy_n(p.rows.data() + from, n, out.rows.data() + at);
                if (with_dists) std::copy_n(p.dists.data() + from, n, out.dists.data() + at);
            }
        }
        return out;
    }
};

// Per-point weights of a density, in the tree's position order, and their sum over each node
// (by node number): what the leaves multiply by and the two-point estimate counts.
struct DensityWeights {
    std::vector<f64> by_position, by_node;
};

// The kernel density: one accumulator over the whole traversal (depth-first, left before
// right), so the sum's order is the visiting order. With weights, each point adds w * K.
template <class K>
struct DensitySum {
    static constexpr bool near_first = false;
    static constexpr bool summarizes = true;
    static constexpr bool exact_prune = false;

    K kernel;
    f64 h;
    const ApproxCriterion& criterion;
    f64 acc = 0.0;
    const DensityWeights* weights = nullptr;
    const TreeIndex* first_row = nullptr;  // the tree's row array: a leaf's rows pointer minus it is a position

    // Even the nearest possible point weighs (almost) nothing; leaves too.
    bool prunes(f64 bound) const noexcept { return kernel.negligible(bound / h); }

    void add(f64* d, const TreeIndex* rows, u64 n) noexcept {
        if (!weights) {
            acc = add_kernel_values(kernel, acc, d, n, h);
            return;
        }
        acc = add_weighted_kernel_values(kernel, acc, d, weights->by_position.data() + (rows - first_row), n, h);
    }

    // When the criterion allows, the node's n points (or its weight) count as the mean of the
    // kernel at its near and far distances. `span` and `near_far` are evaluated only when needed.
    template <class Span, class NearFar>
    bool summarize(u64 id, u64 n, Span&& span, NearFar&& near_far) {
        if (!criterion.approximates(n, span)) return false;
        const auto nf = near_far();
        const f64 mass = weights ? weights->by_node[id] : static_cast<f64>(n);
        acc = ((kernel.value(nf.far / h) + kernel.value(nf.near / h)) * 0.5) * mass + acc;
        return true;
    }
};

}  // namespace veltrix
