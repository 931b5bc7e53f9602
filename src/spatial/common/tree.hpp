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
#include <type_traits>
#include <utility>
#include <vector>

#include "array/error.hpp"
#include "array/messages.hpp"
#include "array/ndarray.hpp"
#include "spatial/common/approx.hpp"
#include "spatial/common/metric.hpp"
#include "spatial/common/neighbor_heap.hpp"
#include "spatial/common/parallel.hpp"
#include "spatial/common/result_set.hpp"

namespace veltrix {

inline constexpr TreeIndex no_child = ~TreeIndex{0};

// Range and link that every node record starts with. Nodes are numbered in pre-order, so an
// internal node's left child is always the next node and only the right one is stored.
// Positions and node numbers are 32-bit (max_tree_points), which keeps the records small.
struct TreeNode {
    TreeIndex start = 0, end = 0;
    TreeIndex right = no_child;

    bool is_leaf() const noexcept { return right == no_child; }
    u64 count() const noexcept { return u64{end} - start; }
    static u64 left_of(u64 id) noexcept { return id + 1; }
};

// The most points one tree holds. Positions, input rows and node numbers are 32-bit; a tree
// of n points has at most 2n - 1 nodes, and at most n - 1 when leaf_size >= 3 (every leaf
// below a split then holds two points or more). Larger sets are split into several trees.
constexpr u64 max_tree_points(u64 leaf_size) noexcept {
    return leaf_size >= 3 ? u64{no_child} : u64{1} << 31;
}

// What a node policy may read of a tree.
struct TreeData {
    std::vector<TreeIndex> indices;  // indices[p]: input row of the point at position p
    std::vector<f64> data;         // row p is the point at position p, during the build too
    std::vector<f64> node_floats;  // block_len floats per node, in node order
    // Derived boxes kept in single precision, rounded outward so that they still hold every
    // point (vantage-point trees: bounds only, at half the memory); 2 * dim per node.
    std::vector<float> boxes32;
    u64 n_points = 0, dim = 0, leaf_size = 0, block_len = 0;
    DistanceMetric metric = DistanceMetric::Euclidean;
    // Side lengths of the periodic box, one per coordinate; empty when space is not periodic.
    std::vector<f64> box;
    // Relative rounding error allowed for one computed distance; prune bounds are lowered by
    // it so that no point the leaf test would accept is ever pruned.
    f64 slack = 0.0;
    // Absolute rounding error of one periodic distance: L - t rounds relative to L, not to the
    // distance. 0 when not periodic, which leaves every bound's bits as they were.
    f64 abs_slack = 0.0;

    // The slack of dimension `dim`, set by the build and by a restored state alike.
    static f64 slack_for(u64 dim) noexcept { return static_cast<f64>(2 * dim + 4) * DBL_EPSILON; }
    static f64 abs_slack_for(const std::vector<f64>& box) noexcept {
        f64 total = 0.0;
        for (const f64 L : box) total = total + L;
        return 4.0 * DBL_EPSILON * total;
    }

    bool periodic() const noexcept { return !box.empty(); }
    const f64* box_or_null() const noexcept { return box.empty() ? nullptr : box.data(); }

    // Row-major rows wrapped into the box in place (periodic trees only).
    void wrap_rows(f64* x, u64 rows) const noexcept {
        for (u64 r = 0; r < rows; ++r, x += dim)
            for (u64 i = 0; i < dim; ++i) x[i] = wrap_coordinate(x[i], box[i]);
    }

    const f64* point(u64 pos) const noexcept { return data.data() + pos * dim; }
    const f64* block(u64 node) const noexcept { return node_floats.data() + node * block_len; }
    const float* box32(u64 node) const noexcept { return boxes32.data() + node * 2 * dim; }

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
    // Threads the passes over one large node may share (the top of a parallel build).
    u64 threads = 1;
};

// Nodes smaller than this run their passes on one thread.
inline constexpr u64 parallel_pass_min = u64{1} << 16;

// Chunk c of `chunks` nearly equal contiguous chunks of [0, n).
inline std::pair<u64, u64> chunk_range(u64 n, u64 chunks, u64 c) noexcept { return {n * c / chunks, n * (c + 1) / chunks}; }

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
// is not 0, `dim` otherwise, so that the common small dimensions swap without a loop). The
// keys are k[i], moved along with the points, or with `OnCoordinate` coordinate `sd` of the
// points themselves (k unused), which saves a buffer of one key per point.
// With a `key_of` (not null), each key is key_of(point), computed afresh as the point is
// examined, and k is unused as well. Large ranges poll for cancellation every partition_poll
// steps (milliseconds of work).
inline constexpr u64 partition_poll = u64{1} << 18;

template <u64 D, bool OnCoordinate = false, class Less, class KeyOf = std::nullptr_t>
void partition_points(f64* k, TreeIndex* idx, f64* pts, u64 n, u64 dim, f64 pivot, Less less, u64 sd = 0,
                      KeyOf key_of = nullptr) {
    if constexpr (D != 0) dim = D;
    constexpr bool computed = !std::is_null_pointer_v<KeyOf>;
    u64 lt = 0, i = 0, gt = n;
    for (u64 step = 0; i < gt; ++step) {
        if (step == partition_poll) {
            step = 0;
            cancel::check();
        }
        f64 x;
        if constexpr (computed) x = key_of(pts + i * dim);
        else x = OnCoordinate ? pts[i * dim + sd] : k[i];
        const bool below = less(x, pivot), above = less(pivot, x);
        // Masks rather than a conditional, which the compiler would turn back into branches.
        const u64 mb = u64{0} - u64{below}, ma = u64{0} - u64{above};
        const u64 j = (lt & mb) | ((gt - 1) & ma) | (i & ~(mb | ma));
        if constexpr (!OnCoordinate && !computed) {
            k[i] = k[j];
            k[j] = x;
        }
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

// partition_points with the common small dimensions unrolled.
template <bool OnCoordinate, class Less, class KeyOf = std::nullptr_t>
void partition_any_dim(f64* k, TreeIndex* idx, f64* pts, u64 n, u64 dim, f64 pivot, Less less, u64 sd = 0,
                       KeyOf key_of = nullptr) {
    switch (dim) {
        case 1: partition_points<1, OnCoordinate>(k, idx, pts, n, dim, pivot, less, sd, key_of); break;
        case 2: partition_points<2, OnCoordinate>(k, idx, pts, n, dim, pivot, less, sd, key_of); break;
        case 3: partition_points<3, OnCoordinate>(k, idx, pts, n, dim, pivot, less, sd, key_of); break;
        case 4: partition_points<4, OnCoordinate>(k, idx, pts, n, dim, pivot, less, sd, key_of); break;
        default: partition_points<0, OnCoordinate>(k, idx, pts, n, dim, pivot, less, sd, key_of); break;
    }
}

// Moves one point (its key when keys travel with the points, its input row, its coordinates).
struct PointRef {
    f64* k;
    TreeIndex* idx;
    f64* pts;
    u64 dim;

    static void copy_row(f64* __restrict to, const f64* __restrict from, u64 dim) noexcept {
        // A branch on the dimension every point takes the same way costs less than a call.
        switch (dim) {
            case 1: to[0] = from[0]; return;
            case 2: to[0] = from[0]; to[1] = from[1]; return;
            case 3: to[0] = from[0]; to[1] = from[1]; to[2] = from[2]; return;
            case 4: to[0] = from[0]; to[1] = from[1]; to[2] = from[2]; to[3] = from[3]; return;
            default: std::memcpy(to, from, dim * sizeof(f64));
        }
    }
    // Slot layout of a point held aside: key, row (as a float's bits), coordinates.
    u64 slot() const noexcept { return dim + 2; }
    void load(u64 p, f64* s) const noexcept {
        if (k) s[0] = k[p];
        s[1] = std::bit_cast<f64>(u64{idx[p]});
        copy_row(s + 2, pts + p * dim, dim);
    }
    void store(u64 p, const f64* s) const noexcept {
        if (k) k[p] = s[0];
        idx[p] = static_cast<TreeIndex>(std::bit_cast<u64>(s[1]));
        copy_row(pts + p * dim, s + 2, dim);
    }
};

// Keys equal to the pivot that the threaded partition still takes on; more go serially.
inline constexpr u64 parallel_partition_max_equal = 1024;

// partition_points<0, OnCoordinate> over `threads` threads, leaving every point where the
// serial pass leaves it; false (nothing moved) when too many keys equal the pivot.
//
// The serial pass reads points from the front until one lies above the pivot, which it sends
// to the back and replaces with the last unread point there; it reads from the back so until
// a point does not lie above, then from the front again. Points below go to the front in the
// order read, points above to the back in that order, and those equal to the pivot gather
// between, in a queue that turns by one for every point below read after them. Which point is
// read when depends on the comparisons alone: with the counts of each kind per chunk, every
// thread knows where its share of the front (and the back points its above-pivot points call
// for) ends up, and replays the serial pass there. A thread writes only positions it has read
// itself, except a few just below its front (where the equal keys sat), held back until all
// are done, as are the equal keys themselves.
template <bool OnCoordinate, class Less>
bool partition_points_parallel(f64* k, TreeIndex* idx, f64* pts, u64 n, u64 dim, f64 pivot, Less less, u64 sd,
                               u64 threads) {
    const PointRef ref{OnCoordinate ? nullptr : k, idx, pts, dim};
    const auto key = [&](u64 p) { return OnCoordinate ? pts[p * dim + sd] : k[p]; };
    const u64 chunks = threads * 64;
    // Points below and above the pivot per chunk.
    std::vector<u64> below(chunks), above(chunks);
    share_jobs(chunks, threads, [&](u64 c) {
        const auto [b, e] = chunk_range(n, chunks, c);
        u64 nb = 0, na = 0;
        for (u64 p = b; p < e; ++p) {
            const f64 x = key(p);
            nb += less(x, pivot);
            na += less(pivot, x);
        }
        below[c] = nb;
        above[c] = na;
    });
    u64 n_below = 0, n_above = 0;
    for (u64 c = 0; c < chunks; ++c) {
        n_below += below[c];
        n_above += above[c];
    }
    const u64 n_equal = n - n_below - n_above;
    if (n_equal > parallel_partition_max_equal) return false;
    const auto is_above = [&](u64 p) { return less(pivot, key(p)); };
    const auto chunk_of = [&](u64 p) {
        u64 c = p * chunks / n;  // chunk_range's bounds are floors: step to the chunk holding p
        while (c + 1 < chunks && chunk_range(n, chunks, c + 1).first <= p) ++c;
        while (chunk_range(n, chunks, c).first > p) --c;
        return c;
    };
    // Points below and above the pivot among positions [0, p).
    const auto counts_before = [&](u64 p) {
        std::pair<u64, u64> r{0, 0};
        if (p >= n) return std::pair<u64, u64>{n_below, n_above};
        const u64 c = chunk_of(p);
        for (u64 j = 0; j < c; ++j) {
            r.first += below[j];
            r.second += above[j];
        }
        for (u64 q = chunk_range(n, chunks, c).first; q < p; ++q) {
            const f64 x = key(q);
            r.first += less(x, pivot);
            r.second += less(pivot, x);
        }
        return r;
    };
    // Position of the j-th point (j >= 1) not above the pivot counted from the back; none: 0.
    const auto nth_not_above_from_back = [&](u64 j) -> u64 {
        for (u64 c = chunks; c-- > 0;) {
            const auto [b, e] = chunk_range(n, chunks, c);
            const u64 here = (e - b) - above[c];
            if (j > here) {
                j -= here;
                continue;
            }
            for (u64 p = e; p-- > b;)
                if (!is_above(p) && --j == 0) return p;
        }
        return 0;
    };
    // The front reads stop at `front`: the points not above the pivot, one more if the point
    // there lies above (read from the front, it finds no unread point left at the back).
    const u64 not_above = n_below + n_equal;
    const u64 front = not_above + (not_above < n && is_above(not_above) ? 1 : 0);

    // Thread t replays the reads of front positions [f0[t], f0[t + 1]) and of the back points
    // that the points above among them call for: back positions [g0[t + 1], g0[t]).
    std::vector<u64> f0(threads + 1), g0(threads + 1), lt0(threads);
    f0[threads] = front;
    g0[threads] = front;
    for (u64 t = 0; t < threads; ++t) {
        f0[t] = front * t / threads;
        const auto [front_below, sent_back] = counts_before(f0[t]);
        // The back point read last before f0[t] is the sent_back-th not above the pivot.
        const u64 q = sent_back == 0 ? n : nth_not_above_from_back(sent_back);
        g0[t] = q > front ? q : front;
        lt0[t] = front_below + (n_below - counts_before(g0[t]).first);
    }

    struct Held {
        std::vector<f64> points;       // slots of the equal points, in reading order
        std::vector<u64> below_first;  // per equal point: points below read since the last one
        std::vector<f64> low;          // slots of points below headed under the thread's front
        std::vector<u64> low_at;       // ... and their positions
        u64 below_after = 0;           // points below read after the last equal point
    };
    std::vector<Held> held(threads);
    const u64 slot = ref.slot();
    share_jobs(threads, threads, [&](u64 t) {
        Held& h = held[t];
        const u64 first = f0[t];
        // The last thread runs until the serial pass would stop; the others until their front
        // share is read (the back points then read are theirs by construction).
        const u64 fend = t + 1 == threads ? n : f0[t + 1];
        u64 f = first, gt = g0[t], lt = lt0[t];
        if (f >= fend || f >= gt) return;
        std::vector<f64> buf(2 * slot);
        f64* cur = buf.data();
        f64* nxt = cur + slot;
        ref.load(f++, cur);
        u64 since_equal = 0;
        for (u64 step = 1;; ++step) {
            if (step == partition_poll) {
                step = 0;
                cancel::check();
            }
            const f64 x = OnCoordinate ? cur[2 + sd] : cur[0];
            const bool b = less(x, pivot), a = less(pivot, x);
            // The common steps (a point below or above, in the middle of the range) without a
            // branch on the comparison, which would mispredict half the time.
            const bool equal = !a && !b;
            const bool rare = equal | (a & (gt == f)) | (b & ((lt < first) | (f == fend) | (f == gt)));
            if (!rare) [[likely]] {
                const u64 ma = u64{0} - u64{a};
                const u64 from = ((gt - 1) & ma) | (f & ~ma), to = ((gt - 1) & ma) | (lt & ~ma);
                ref.load(from, nxt);
                ref.store(to, cur);
                gt -= a;
                lt += b;
                f += b;
                since_equal += b;
            } else if (a) {
                // The last read point, alone between the sides, stays where it is.
                ref.store(gt - 1, cur);
                break;
            } else {
                if (b) {
                    if (lt >= first) {
                        ref.store(lt, cur);
                    } else {
                        h.low.insert(h.low.end(), cur, cur + slot);
                        h.low_at.push_back(lt);
                    }
                    ++lt;
                    ++since_equal;
                } else {
                    h.points.insert(h.points.end(), cur, cur + slot);
                    h.below_first.push_back(since_equal);
                    since_equal = 0;
                }
                if (f == fend || f == gt) break;
                ref.load(f++, nxt);
            }
            std::swap(cur, nxt);
        }
        h.below_after = since_equal;
    });

    for (const Held& h : held)
        for (u64 j = 0; j < h.low_at.size(); ++j) ref.store(h.low_at[j], h.low.data() + j * slot);
    // The equal points' queue: each joins at the back; each point below read while it is not
    // empty moves its front to its back. It ends right after the points below.
    std::vector<const f64*> queue;
    u64 turns = 0;
    const auto turn = [&] {
        if (!queue.empty()) std::rotate(queue.begin(), queue.begin() + turns % queue.size(), queue.end());
        turns = 0;
    };
    for (const Held& h : held) {
        for (u64 j = 0; j < h.below_first.size(); ++j) {
            turns += h.below_first[j];
            turn();
            queue.push_back(h.points.data() + j * slot);
        }
        turns += h.below_after;
    }
    turn();
    for (u64 j = 0; j < queue.size(); ++j) ref.store(n_below + j, queue[j]);
    return true;
}

// Orders positions [first, first + keys.size()) by their keys so that the position of `rank`
// holds the key of that rank, with every key before it `less`-or-equal and every key after it
// greater-or-equal: a selection of the pivot value on a copy of the keys, then one three-way
// partition that swaps whole points (keys below, equal to, above the pivot), so the point at
// `rank` has the pivot. Swapping in place beats scattering into a buffer even at 16 dimensions.
// The partition is written without branches on the comparisons: each step swaps the key under
// examination with its destination (itself when it equals the pivot).
f64 select_coordinate(const f64* pts, u64 n, u64 dim, u64 sd, u64 rank, std::vector<f64>& buffer,
                      u64 threads = 1);
// The same over any n keys that for_keys(b, e, f) hands to f in order, keys [b, e) at a
// time, as often as asked: keys computed on each pass need no buffer either.
template <class ForKeys>
f64 select_keys(u64 n, u64 rank, std::vector<f64>& buffer, u64 threads, ForKeys for_keys);
inline constexpr u64 radix_select_min = u64{1} << 17;

// With `ordered_by_less` the caller vouches that `less` is plain `<` on keys without NaN:
// a large node then selects by radix counting on the keys themselves instead of a copy.
// Out of line: inlined into the vantage-point split, it made that split slower.
template <class Less>
[[gnu::noinline]] f64 select_at_rank(TreeData& t, BuildScratch& s, u64 first, u64 rank, Less less,
                                     bool ordered_by_less = false) {
    std::vector<f64>& keys = s.keys;
    const u64 n = keys.size();
    f64 pivot;
    if (ordered_by_less && n > radix_select_min) {
        pivot = select_coordinate(keys.data(), n, 1, 0, rank, s.selection, s.threads);
    } else {
        s.selection.assign(keys.begin(), keys.end());
        pivot = select_value(s.selection.data(), n, rank, less);
    }
    f64* k = keys.data();
    TreeIndex* idx = t.indices.data() + first;
    f64* pts = t.data.data() + first * t.dim;
    if (s.threads > 1 && n >= parallel_pass_min &&
        partition_points_parallel<false>(k, idx, pts, n, t.dim, pivot, less, 0, s.threads))
        return pivot;
    partition_any_dim<false>(k, idx, pts, n, t.dim, pivot, less);
    return pivot;
}

// The partition of select_at_rank about a pivot already selected, for keys that are a
// function of the point alone and never stored: key_of(point), computed as each point is
// examined. The same arrangement without a buffer of one key per position.
template <class Less, class KeyOf>
void partition_computed(TreeData& t, u64 first, u64 n, f64 pivot, Less less, KeyOf key_of) {
    TreeIndex* idx = t.indices.data() + first;
    f64* pts = t.data.data() + first * t.dim;
    partition_any_dim<false>(nullptr, idx, pts, n, t.dim, pivot, less, 0, key_of);
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
    { P::build(EuclideanMetric{}, building, scratch, options, fresh, block, may_split) }
        -> std::same_as<std::optional<u64>>;
    // Runs once after the build, with the data in tree order.
    { P::finish(building, nodes) } -> std::same_as<void>;
    // The query's measure at a node.
    { P::measure(EuclideanMetric{}, tree, node, tree.block(n), q) } -> std::same_as<typename P::Measure>;
    // Floored at 0 and never above the computed distance of any point of the node.
    { P::lower_bound(tree, node, m) } -> std::same_as<f64>;
    // Whether a k-nearest search visits the left child first (node measure, then the children's).
    { P::left_first(tree, node, m, m, m, q) } -> std::same_as<bool>;
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

// One copy of each, out of line (every tree's unit uses them).
extern template void sum_and_box<false>(const f64*, u64, u64, f64*, f64*, f64*) noexcept;
extern template void sum_and_box<true>(const f64*, u64, u64, f64*, f64*, f64*) noexcept;

// Per-coordinate extremes of the node's points (NaN coordinates are refused before the build).
// With several threads, contiguous chunks are merged in position order keeping the earlier
// of equal extremes, as the one pass does, so even the sign of a zero bound is the same.
inline void bounding_box(const TreeData& t, u64 start, u64 end, f64* lo, f64* hi, u64 threads = 1) {
    const u64 n = end - start, dim = t.dim;
    if (threads <= 1 || n < parallel_pass_min || dim == 0) {
        sum_and_box<false>(t.point(start), n, dim, nullptr, lo, hi);
        return;
    }
    std::vector<f64> part(2 * dim * threads);
    share_jobs(threads, threads, [&](u64 c) {
        const auto [b, e] = chunk_range(n, threads, c);
        f64* l = part.data() + 2 * dim * c;
        sum_and_box<false>(t.point(start + b), e - b, dim, nullptr, l, l + dim);
    });
    std::copy_n(part.data(), dim, lo);
    std::copy_n(part.data() + dim, dim, hi);
    for (u64 c = 1; c < threads; ++c) {
        const f64* l = part.data() + 2 * dim * c;
        for (u64 j = 0; j < dim; ++j) {
            lo[j] = l[j] < lo[j] ? l[j] : lo[j];
            hi[j] = l[dim + j] > hi[j] ? l[dim + j] : hi[j];
        }
    }
}

// Node boxes (lows, then highs, `stride` values apart per node) bottom-up: a leaf's from its
// points, an internal node's from its children's, the left one's on equal values as the one
// pass over the points keeps the earlier. Pre-order puts children after their parent, so a
// backward pass meets them first. Single-precision boxes round a leaf's bounds outward (the
// children's extremes are then exact in float).
template <class T, class Node>
void derive_boxes(const TreeData& t, const std::vector<Node>& nodes, T* out, u64 stride) {
    const u64 dim = t.dim;
    std::vector<f64> wide(std::is_same_v<T, f64> ? 0 : 2 * dim);
    for (u64 id = nodes.size(); id-- > 0;) {
        const Node& node = nodes[id];
        T* lo = out + id * stride;
        T* hi = lo + dim;
        if (node.is_leaf()) {
            if constexpr (std::is_same_v<T, f64>) {
                bounding_box(t, node.start, node.end, lo, hi);
            } else {
                bounding_box(t, node.start, node.end, wide.data(), wide.data() + dim);
                constexpr T inf = std::numeric_limits<T>::infinity();
                for (u64 j = 0; j < dim; ++j) {
                    T l = static_cast<T>(wide[j]), h = static_cast<T>(wide[dim + j]);
                    if (l > wide[j]) l = std::nextafter(l, -inf);
                    if (h < wide[dim + j]) h = std::nextafter(h, inf);
                    lo[j] = l;
                    hi[j] = h;
                }
            }
            continue;
        }
        const T* l = out + TreeNode::left_of(id) * stride;
        const T* r = out + node.right * stride;
        for (u64 j = 0; j < dim; ++j) {
            lo[j] = r[j] < l[j] ? r[j] : l[j];
            hi[j] = r[dim + j] > l[dim + j] ? r[dim + j] : l[dim + j];
        }
    }
}

template <class Node>
void derive_boxes(TreeData& t, const std::vector<Node>& nodes) {
    derive_boxes(t, nodes, t.node_floats.data(), t.block_len);
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

// The value of rank `rank` among coordinate `sd` of the n points at pts (no NaN), found
// without a buffer of n keys: a radix selection on 16-bit digits of the keys' order-preserving
// bit patterns, one counting pass per digit over the keys still in play, until few enough
// remain to be copied out and selected among. The partition that follows sees only the value,
// and the value of a rank does not depend on how it is found (-0.0 and +0.0 compare equal
// there), so the tree is the one a selection over a copy of the keys gives.
// With several threads, contiguous chunks count on their own (integer sums: exact) and copy
// out into buffers of their own, joined in chunk order: the same keys in the same order.
template <class ForKeys>
f64 select_keys(u64 n, u64 rank, std::vector<f64>& buffer, u64 threads, ForKeys for_keys) {
    constexpr u64 digits = u64{1} << 16, few = u64{1} << 16;
    const auto ordered = [](f64 x) {
        const u64 b = std::bit_cast<u64>(x);
        return (b >> 63) ? ~b : b | (u64{1} << 63);
    };
    const u64 chunks = threads > 1 && n >= parallel_pass_min ? threads : 1;
    std::vector<u64> count(digits * chunks);
    std::vector<std::vector<f64>> copied(chunks - 1);
    u64 prefix = 0;  // the digits chosen so far
    for (int level = 0; level < 4; ++level) {
        const int low = 48 - 16 * level;  // the digit's lowest bit
        // In play: the keys whose digits above this one are `prefix`.
        const auto in_play = [&](u64 u) { return level == 0 || (u >> (low + 16)) == prefix; };
        share_jobs(chunks, chunks, [&](u64 c) {
            u64* cc = count.data() + digits * c;
            std::fill(cc, cc + digits, u64{0});
            const auto [b, e] = chunk_range(n, chunks, c);
            for_keys(b, e, [&](f64 x) {
                const u64 u = ordered(x);
                if (in_play(u)) ++cc[(u >> low) & (digits - 1)];
            });
        });
        for (u64 c = 1; c < chunks; ++c)
            for (u64 d = 0; d < digits; ++d) count[d] += count[digits * c + d];
        u64 d = 0;
        while (rank >= count[d]) rank -= count[d++];
        const u64 remaining = count[d];
        prefix = (prefix << 16) | d;
        if (remaining <= few || level == 3) {
            buffer.clear();
            share_jobs(chunks, chunks, [&](u64 c) {
                std::vector<f64>& out = c == 0 ? buffer : copied[c - 1];
                const auto [b, e] = chunk_range(n, chunks, c);
                for_keys(b, e, [&](f64 x) {
                    if ((ordered(x) >> low) == prefix) out.push_back(x);
                });
            });
            for (const std::vector<f64>& part : copied) buffer.insert(buffer.end(), part.begin(), part.end());
            return select_value(buffer.data(), remaining, rank, [](f64 a, f64 b) { return a < b; });
        }
    }
    return 0.0;  // not reached: the last level always copies out
}

// Selects the median of coordinate `sd` into position start + (end - start) / 2 and returns
// that position. NaN coordinates are refused before the build, so `<` orders the keys. As
// select_at_rank, but the selection runs on the one key buffer and the partition reads the
// keys from the points: the same arrangement with one buffer of n keys instead of two.
u64 split_at_median(TreeData& t, BuildScratch& s, u64 start, u64 end, u64 sd);

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
        return from_rows(std::vector<f64>(points.data.begin(), points.data.end()), points.shape[0], points.shape[1], leaf_size, metric,
                         options);
    }

    // The tree over n rows of `dim` coordinates, taking over `data` (row-major) as its own
    // points. A non-empty `box` (one positive finite side length per coordinate) makes space
    // periodic: the points are wrapped into it first. The build splits independent subtrees
    // over `threads` threads; the tree is the same for every count.
    static Result<SpatialTree> from_rows(std::vector<f64>&& data, u64 n, u64 dim, u64 leaf_size,
                                         DistanceMetric metric, Options options = {}, std::vector<f64> box = {},
                                         u64 threads = 1);

    // Calls f(m) with the tree's metric object, periodic when the tree has a box.
    template <class F>
    decltype(auto) with_tree_metric(F&& f) const {
        return with_metric(metric, box_or_null(), std::forward<F>(f));
    }

    // Input rows of the k nearest points, nearest first.
    std::vector<u64> query_knn(const f64* query, u64 k) const {
        const u64 kk = std::min(k, n_points);
        std::vector<u64> rows(kk);
        if (kk > 0) query_knn_batch(query, 1, kk, nullptr, rows.data(), 1);
        return rows;
    }

    // Input rows within `radius` (inclusive), in depth-first visiting order.
    std::vector<u64> query_radius(const f64* query, f64 radius) const;

    Result<Array64> kernel_density(const Array64& queries, KernelType kernel, f64 bandwidth) const {
        return kernel_density_approx(queries, kernel, ApproxCriterion::none(), bandwidth);
    }

    // One density per query row, in row order.
    Result<Array64> kernel_density_approx(const Array64& queries, KernelType kernel,
                                          const ApproxCriterion& criterion, f64 bandwidth) const;

    // Densities at the stored points themselves, reported in input-row order.
    Result<Array64> kernel_density_at_points(KernelType kernel, const ApproxCriterion& criterion,
                                             f64 bandwidth) const;

    static bool valid_bandwidth(f64 bandwidth) noexcept { return bandwidth > 0.0; }

    // The weights of input rows by_row[0, n_points) arranged for density_batch.
    DensityWeights density_weights(const f64* by_row) const {
        DensityWeights w;
        w.by_position.resize(n_points);
        for (u64 p = 0; p < n_points; ++p) w.by_position[p] = by_row[indices[p]];
        // Children come after their parent in pre-order, so a backward pass meets them first.
        w.by_node.resize(nodes.size());
        for (u64 id = nodes.size(); id-- > 0;) {
            const Node& node = nodes[id];
            f64 s = 0.0;
            if (node.is_leaf())
                for (u64 p = node.start; p < node.end; ++p) s = s + w.by_position[p];
            else
                s = w.by_node[TreeNode::left_of(id)] + w.by_node[node.right];
            w.by_node[id] = s;
        }
        return w;
    }

    // -----------------------------------------------------------------------------------------
    // Batches: m query rows at x (row-major, `dim` columns each), their results written into
    // buffers the caller allocated at their final size, the rows handed out in blocks to
    // `threads` threads (for_each_block). Every row's result equals the single-point method's
    // for that row, whatever the block it falls in or the order it is searched in. A periodic
    // tree searches a wrapped copy of the rows.

    // The k nearest of each row within `limit` (inclusive), nearest first: row i at
    // [i * k, (i + 1) * k) of `rows` and, unless it is null, of `dist`; places left over hold
    // distance inf and row n_points. Needs k <= n_points.
    void query_knn_batch(const f64* x, u64 m, u64 k, f64* dist, u64* rows, u64 threads,
                         f64 limit = std::numeric_limits<f64>::infinity()) const;

    // The number of points within radius r_i = radii[i * radius_step] of each row (a step of 0
    // gives every row radii[0]).
    void count_radius_batch(const f64* x, u64 m, const f64* radii, u64 radius_step, u64* counts,
                            u64 threads) const;

    // The points within radius r_i of each row (radii as in count_radius_batch), in visiting
    // order or, when `sorted`, by distance and then row number. Distances are kept when
    // `with_dist` or `sorted`.
    RadiusBatch query_radius_batch(const f64* x, u64 m, const f64* radii, u64 radius_step, bool with_dist,
                                   bool sorted, u64 threads) const;

    // One density per row, each equal to kernel_density_approx for that row; with x null, at
    // the m = n_points stored points, written in input-row order. Needs a valid bandwidth.
    // With `weights` (density_weights), each point's term is multiplied by its weight.
    void density_batch(const f64* x, u64 m, KernelType kernel, const ApproxCriterion& criterion, f64 h,
                       f64* out, u64 threads, const DensityWeights* weights = nullptr) const;

    // x itself, or for a periodic tree its m rows wrapped into the box in `buffer`.
    const f64* wrapped_queries(const f64* x, u64 m, std::vector<f64>& buffer) const {
        if (!periodic() || m == 0) return x;
        buffer.assign(x, x + m * dim);
        wrap_rows(buffer.data(), m);
        return buffer.data();
    }

private:
    // Point sets below this size are built on one thread whatever the caller asks.
    static constexpr u64 parallel_build_min = u64{1} << 14;

    // Nodes in pre-order with links among themselves, and their float blocks.
    struct NodeRun {
        std::vector<Node> nodes;
        std::vector<f64> floats;
    };
    // A subtree the top of a parallel build left for later: its range and its node there.
    struct Deferred {
        u64 start, end, id;
    };

    // Builds every node. With several threads the top levels are built first, on this
    // thread, down to 2^depth subtrees; those are built in parallel, each into a run of its
    // own, and spliced in where the top left them. Every node is made from its range alone,
    // so the nodes, their pre-order numbers and the point order are the serial build's.
    template <class M>
    void build_all(const M& mt, u64 threads) {
        BuildScratch scratch;
        scratch.lo.resize(dim);
        scratch.hi.resize(dim);
        if (threads <= 1 || n_points < parallel_build_min) {
            scratch.keys.reserve(std::min(n_points, radix_select_min));
            build_recursive(mt, scratch, nodes, node_floats, 0, n_points, 0, nullptr);
            return;
        }
        // Median splits leave subtrees of equal size: a power of two of threads gets one
        // each, which keeps the serial top to the fewest levels; other counts get twice as
        // many subtrees as threads, so that the last ones even out.
        const u64 capped = std::min<u64>(threads, 64);
        const u64 depth = static_cast<u64>(std::bit_width(capped - 1)) + (std::has_single_bit(capped) ? 0 : 1);
        NodeRun top;
        std::vector<Deferred> deferred;
        // The top nodes share their passes over the points among the threads.
        scratch.threads = capped;
        build_recursive(mt, scratch, top.nodes, top.floats, 0, n_points, depth, &deferred);
        scratch = BuildScratch{};
        std::vector<NodeRun> runs(deferred.size());
        share_jobs(deferred.size(), capped, [&](u64 j) {
            BuildScratch own;
            own.lo.resize(dim);
            own.hi.resize(dim);
            build_recursive(mt, own, runs[j].nodes, runs[j].floats, deferred[j].start, deferred[j].end, 0, nullptr);
        });
        u64 total = top.nodes.size() - deferred.size();
        for (const NodeRun& r : runs) total += r.nodes.size();
        nodes.clear();
        node_floats.clear();
        nodes.reserve(total);
        node_floats.reserve(total * block_len);
        std::vector<u64> run_of(top.nodes.size(), no_child);
        for (u64 j = 0; j < deferred.size(); ++j) run_of[deferred[j].id] = j;
        splice(top, runs, run_of, 0);
    }

    // Appends top node `id` and everything below it in pre-order, a deferred subtree as its
    // run with the links moved by the run's new start; returns the node's new number. Each run
    // is released once it is in place.
    u64 splice(const NodeRun& top, std::vector<NodeRun>& runs, const std::vector<u64>& run_of, u64 id) {
        const u64 at = nodes.size();
        if (run_of[id] != no_child) {
            NodeRun& r = runs[run_of[id]];
            for (Node n : r.nodes) {
                if (!n.is_leaf()) n.right += at;
                nodes.push_back(n);
            }
            node_floats.insert(node_floats.end(), r.floats.begin(), r.floats.end());
            r = NodeRun{};
            return at;
        }
        nodes.push_back(top.nodes[id]);
        node_floats.insert(node_floats.end(), top.floats.begin() + id * block_len,
                           top.floats.begin() + (id + 1) * block_len);
        if (!top.nodes[id].is_leaf()) {
            splice(top, runs, run_of, TreeNode::left_of(id));
            nodes[at].right = splice(top, runs, run_of, top.nodes[id].right);
        }
        return at;
    }

    // Builds the node over [start, end) and, below it, its subtree into `out` (numbers local
    // to `out`). With `deferred`, a node `depth` levels down is not built: it stays a
    // placeholder, recorded there.
    template <class M>
    u64 build_recursive(const M& mt, BuildScratch& scratch, std::vector<Node>& out, std::vector<f64>& floats,
                        u64 start, u64 end, u64 depth, std::vector<Deferred>* deferred) {
        const u64 id = out.size();
        out.emplace_back();
        floats.resize(floats.size() + block_len);
        Node node;
        node.start = start;
        node.end = end;
        if (deferred && depth == 0) {
            out[id] = node;
            deferred->push_back({start, end, id});
            return id;
        }
        if (end - start >= 4096) cancel::check();  // large nodes only: each is milliseconds of work
        // Dimension 0 has no coordinate to split on: such nodes stay leaves.
        const bool may_split = end - start > leaf_size && dim > 0;
        const std::optional<u64> mid =
            P::build(mt, *this, scratch, options, node, floats.data() + id * block_len, may_split);
        out[id] = node;
        if (mid) {
            build_recursive(mt, scratch, out, floats, start, *mid, depth - 1, deferred);
            out[id].right = build_recursive(mt, scratch, out, floats, *mid, end, depth - 1, deferred);
        }
        return id;
    }

    // Inlined: the searches call it at every node, and out of line it cost them a tenth.
    template <class M>
    [[gnu::always_inline]] Measure measure(const M& mt, u64 id, const f64* q) const {
        return P::measure(mt, *this, nodes[id], block(id), q);
    }

    // A child's measure, which some policies know to be the parent's own (the same vantage
    // point): the same computation, so it is taken over rather than repeated.
    template <class M>
    [[gnu::always_inline]] Measure child_measure(const M& mt, const Node& parent, const Measure& m, u64 child, const f64* q) const {
        if constexpr (requires { P::same_measure(parent, parent); })
            if (P::same_measure(parent, nodes[child])) return m;
        return measure(mt, child, q);
    }

    // The one search of every query: prune by the node's lower bound, hand leaf distances to
    // the result set, let it summarize an internal node if it can, else visit the children.
    template <class M, ResultSet R>
    void search(const M& mt, const f64* q, R& rs) const {
        search_node(mt, 0, measure(mt, 0, q), q, rs);
    }

    // A policy may hand its children bounds from what the parent knows (a child's points are
    // among the parent's, and its split confines them further); used where tighter pruning
    // cannot change a result.
    template <class R>
    static constexpr bool inherits_bounds =
        R::exact_prune && requires(const TreeData& t, const Node& n, const Measure& m, f64& f) {
            P::child_floors(t, n, m, f64{}, f, f);
        };

    template <class M, ResultSet R>
    void search_node(const M& mt, u64 id, const Measure& m, const f64* q, R& rs, f64 floor = 0.0) const {
        const Node& node = nodes[id];
        f64 bound = P::lower_bound(*this, node, m);
        if constexpr (inherits_bounds<R>) bound = floor > bound ? floor : bound;
        if (rs.prunes(bound)) return;
        if (node.is_leaf()) {
            scan_leaf(mt, node, q, rs);
            return;
        }
        if constexpr (R::summarizes) {
            if (rs.summarize(
                    id, node.count(), [&] { return P::span(*this, node, block(id)); },
                    [&] { return P::near_far(*this, node, block(id), m, q); }))
                return;
        }
        const u64 left = TreeNode::left_of(id);
        f64 fl = 0.0, fr = 0.0;
        if constexpr (inherits_bounds<R>) {
            P::child_floors(*this, node, m, bound, fl, fr);
            // A child pruned now stays pruned when its turn comes (a result set only ever
            // prunes more as it fills), so it is dropped before it is measured.
            const bool skip_left = rs.prunes(fl), skip_right = rs.prunes(fr);
            if (skip_left || skip_right) {
                if (!skip_left) search_node(mt, left, child_measure(mt, node, m, left, q), q, rs, fl);
                if (!skip_right) search_node(mt, node.right, child_measure(mt, node, m, node.right, q), q, rs, fr);
                return;
            }
        }
        const Measure ml = child_measure(mt, node, m, left, q), mr = child_measure(mt, node, m, node.right, q);
        if (!R::near_first || P::left_first(*this, node, m, ml, mr, q)) {
            search_node(mt, left, ml, q, rs, fl);
            search_node(mt, node.right, mr, q, rs, fr);
        } else {
            search_node(mt, node.right, mr, q, rs, fr);
            search_node(mt, left, ml, q, rs, fl);
        }
    }

    // Distances of the leaf's points in position order, a block at a time.
    template <class M, ResultSet R>
    void scan_leaf(const M& mt, const Node& node, const f64* q, R& rs) const {
        constexpr u64 B = 64;
        f64 d[B];
        for (u64 p = node.start; p < node.end; p += B) {
            const u64 n = std::min(B, node.end - p);
            distances_to(mt, point(p), n, dim, q, d);
            rs.add(d, indices.data() + p, n);
        }
    }

    // Rows [begin, end) in the order of the leaf that each one's nearer-child descent ends
    // in (pre-order numbers follow the tree), so that consecutive searches read the same
    // nodes and points while they are still cached. Short blocks keep their order.
    template <class M>
    std::vector<u64> search_order(const M& mt, const f64* x, u64 begin, u64 end) const {
        std::vector<u64> order(end - begin);
        std::iota(order.begin(), order.end(), begin);
        if (end - begin < 64 || n_points == 0) return order;
        std::vector<std::pair<u64, u64>> keyed(end - begin);
        for (u64 i = begin; i < end; ++i) keyed[i - begin] = {first_leaf(mt, x + i * dim), i};
        std::sort(keyed.begin(), keyed.end());
        for (u64 j = 0; j < keyed.size(); ++j) order[j] = keyed[j].second;
        return order;
    }

    template <class M>
    u64 first_leaf(const M& mt, const f64* q) const {
        u64 id = 0;
        Measure m = measure(mt, 0, q);
        while (!nodes[id].is_leaf()) {
            const Node& node = nodes[id];
            const Measure ml = child_measure(mt, node, m, TreeNode::left_of(id), q), mr = child_measure(mt, node, m, node.right, q);
            const bool left = P::left_first(*this, node, m, ml, mr, q);
            id = left ? TreeNode::left_of(id) : node.right;
            m = left ? ml : mr;
        }
        return id;
    }

    // Orders the part's entries from `first` on by distance, then row number.
    static void sort_by_distance(RadiusBatch::Part& part, u64 first, std::vector<Neighbor>& scratch) {
        const u64 n = part.rows.size() - first;
        scratch.resize(n);
        for (u64 j = 0; j < n; ++j) scratch[j] = {part.dists[first + j], part.rows[first + j]};
        std::sort(scratch.begin(), scratch.end(), [](const Neighbor& a, const Neighbor& b) {
            return a.dist < b.dist || (a.dist == b.dist && a.row < b.row);
        });
        for (u64 j = 0; j < n; ++j) {
            part.dists[first + j] = scratch[j].dist;
            part.rows[first + j] = scratch[j].row;
        }
    }
};

// The members a tree's own translation unit instantiates (they are not inline, so the
// extern declarations after each policy keep other units from compiling them again).

template <NodePolicy P>
Result<SpatialTree<P>> SpatialTree<P>::from_rows(std::vector<f64>&& data, u64 n, u64 dim, u64 leaf_size,
                                                 DistanceMetric metric, Options options, std::vector<f64> box,
                                                 u64 threads) {
    VELTRIX_ASSERT_EQ(data.size(), n * dim, msg::points_rank);
    if (leaf_size == 0) return Error{msg::leaf_size_zero};
    if (n > max_tree_points(leaf_size)) return Error{msg::too_many_points(n, max_tree_points(leaf_size))};
    if (!box.empty()) VELTRIX_ASSERT_EQ(box.size(), dim, msg::points_rank);
    // The first coordinate a periodic tree cannot wrap (not finite) or any tree cannot order
    // (NaN); n * dim when there is none. A parallel build looks in chunks on its threads.
    const u64 values = n * dim;
    const u64 parts = threads > 1 && values >= parallel_pass_min ? std::min<u64>(threads, 64) : 1;
    std::vector<u64> first_bad(parts, values);
    share_jobs(parts, parts, [&](u64 c) {
        const auto [b, e] = chunk_range(values, parts, c);
        const f64* x = data.data();
        u64 p = b;
        if (box.empty())
            while (p < e && !std::isnan(x[p])) ++p;
        else
            while (p < e && std::isfinite(x[p])) ++p;
        if (p < e) first_bad[c] = p;
    });
    const u64 bad = *std::min_element(first_bad.begin(), first_bad.end());
    if (bad < values) return Error{box.empty() ? msg::nan_points : msg::nonfinite_periodic_points(bad / dim)};
    SpatialTree t;
    t.n_points = n;
    t.dim = dim;
    t.leaf_size = leaf_size;
    t.metric = metric;
    t.options = options;
    t.block_len = P::floats_per_node(t.dim);
    t.slack = slack_for(t.dim);
    t.box = std::move(box);
    t.abs_slack = abs_slack_for(t.box);
    t.data = std::move(data);
    if (t.periodic()) t.wrap_rows(t.data.data(), n);
    t.indices.resize(t.n_points);
    std::iota(t.indices.begin(), t.indices.end(), TreeIndex{0});
    // Every leaf below a split holds at least half a leaf's worth (rounded up), which
    // bounds the node count so that neither vector grows during the build.
    const u64 min_leaf = (leaf_size - 1) / 2 + 1;
    const u64 expected_nodes = 2 * (t.n_points / min_leaf) + 1;
    t.nodes.reserve(expected_nodes);
    t.node_floats.reserve(expected_nodes * t.block_len);
    // The build moves whole points, so the data ends in tree order.
    // One build for every metric: it measures whole blocks of points through the metric's loops.
    t.with_tree_metric([&](const auto& mt) { t.build_all(ErasedMetric::of(mt), threads); });
    P::finish(t, t.nodes);
    return t;
}

template <NodePolicy P>
std::vector<u64> SpatialTree<P>::query_radius(const f64* query, f64 radius) const {
    std::vector<u64> out;
    if (n_points == 0) return out;
    std::vector<f64> wrapped;
    query = wrapped_queries(query, 1, wrapped);
    with_tree_metric([&](const auto& mt) {
        RadiusResults rs{radius, &out, nullptr};
        search(mt, query, rs);
    });
    return out;
}

template <NodePolicy P>
Result<Array64> SpatialTree<P>::kernel_density_approx(const Array64& queries, KernelType kernel,
                                                      const ApproxCriterion& criterion, f64 bandwidth) const {
    if (queries.ndim() != 2) VELTRIX_FAIL(msg::queries_rank);
    VELTRIX_ASSERT_EQ(queries.shape[1], dim, msg::query_dimension);
    if (!valid_bandwidth(bandwidth)) return Error{msg::bandwidth};
    const u64 nq = queries.shape[0];
    Array64 out = Array64::zeros(Shape::d1(nq));
    density_batch(queries.data.data(), nq, kernel, criterion, bandwidth, out.data.data(), 1);
    return out;
}

template <NodePolicy P>
Result<Array64> SpatialTree<P>::kernel_density_at_points(KernelType kernel, const ApproxCriterion& criterion,
                                                         f64 bandwidth) const {
    if (!valid_bandwidth(bandwidth)) return Error{msg::bandwidth};
    Array64 out = Array64::zeros(Shape::d1(n_points));
    density_batch(nullptr, n_points, kernel, criterion, bandwidth, out.data.data(), 1);
    return out;
}

template <NodePolicy P>
void SpatialTree<P>::query_knn_batch(const f64* x, u64 m, u64 k, f64* dist, u64* rows, u64 threads,
                                     f64 limit) const {
    if (k > n_points) VELTRIX_FAIL(msg::k_too_large);
    if (k == 0) return;
    std::vector<f64> wrapped;
    x = wrapped_queries(x, m, wrapped);
    with_tree_metric([&](const auto& mt) {
        for_each_block(m, threads, [&](u64, u64 begin, u64 end) {
            KnnResults rs(k, limit);
            for (const u64 i : search_order(mt, x, begin, end)) {
                search(mt, x + i * dim, rs);
                const u64 found = rs.heap.size();
                rs.heap.drain_sorted(dist ? dist + i * k : nullptr, rows + i * k);
                if (dist) std::fill(dist + i * k + found, dist + (i + 1) * k, std::numeric_limits<f64>::infinity());
                std::fill(rows + i * k + found, rows + (i + 1) * k, n_points);
            }
        });
    });
}

template <NodePolicy P>
void SpatialTree<P>::count_radius_batch(const f64* x, u64 m, const f64* radii, u64 radius_step, u64* counts,
                                        u64 threads) const {
    std::fill(counts, counts + m, u64{0});
    if (n_points == 0) return;
    std::vector<f64> wrapped;
    x = wrapped_queries(x, m, wrapped);
    with_tree_metric([&](const auto& mt) {
        for_each_block(m, threads, [&](u64, u64 begin, u64 end) {
            for (const u64 i : search_order(mt, x, begin, end)) {
                RadiusCount rs{radii[i * radius_step]};
                search(mt, x + i * dim, rs);
                counts[i] = rs.count;
            }
        });
    });
}

template <NodePolicy P>
RadiusBatch SpatialTree<P>::query_radius_batch(const f64* x, u64 m, const f64* radii, u64 radius_step,
                                               bool with_dist, bool sorted, u64 threads) const {
    const bool keep = with_dist || sorted;
    std::vector<f64> wrapped;
    x = wrapped_queries(x, m, wrapped);
    std::vector<RadiusBatch::Part> parts(block_count(m, threads));
    with_tree_metric([&](const auto& mt) {
        for_each_block(m, threads, [&](u64 b, u64 begin, u64 end) {
            RadiusBatch::Part& part = parts[b];
            part.begin = begin;
            part.first.resize(end - begin);
            part.count.resize(end - begin);
            std::vector<Neighbor> scratch;
            for (const u64 i : search_order(mt, x, begin, end)) {
                const u64 first = part.rows.size();
                if (n_points > 0) {
                    RadiusResults rs{radii[i * radius_step], &part.rows, keep ? &part.dists : nullptr};
                    search(mt, x + i * dim, rs);
                }
                if (sorted) sort_by_distance(part, first, scratch);
                part.first[i - begin] = first;
                part.count[i - begin] = part.rows.size() - first;
            }
        });
    });
    return RadiusBatch::assemble(parts, m, keep);
}

template <NodePolicy P>
void SpatialTree<P>::density_batch(const f64* x, u64 m, KernelType kernel, const ApproxCriterion& criterion,
                                   f64 h, f64* out, u64 threads, const DensityWeights* weights) const {
    if (!valid_bandwidth(h)) VELTRIX_FAIL(msg::bandwidth);
    if (n_points == 0) {
        // every density of an empty tree is 0
        std::fill(out, out + m, 0.0);
        return;
    }
    std::vector<f64> wrapped;
    if (x) x = wrapped_queries(x, m, wrapped);
    with_tree_metric([&](const auto& mt) {
        with_density_kernel(kernel, [&]<class K>(const K& kern) {
            for_each_block(m, threads, [&](u64, u64 begin, u64 end) {
                const auto one = [&](const f64* q) {
                    DensitySum<K> rs{kern, h, criterion, 0.0, weights, indices.data()};
                    search(mt, q, rs);
                    return rs.acc;
                };
                if (!x) {
                    // The stored points are already in tree order.
                    for (u64 p = begin; p < end; ++p) out[indices[p]] = one(point(p));
                    return;
                }
                for (const u64 i : search_order(mt, x, begin, end)) out[i] = one(x + i * dim);
            });
        });
    });
}

}  // namespace veltrix
