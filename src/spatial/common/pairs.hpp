// Pair searches over two trees of one kind: every pair (x from tree a, y from tree b) within a
// distance, counted per radius bin or listed. One dual-tree walk recurses over node pairs,
// bounds each pair of nodes from below and above (PairBounds, per policy) and asks a pair
// result set what to do with it: skip it, take it whole, or descend; two leaves are compared
// point by point with the metric the single-tree search uses, so every listed distance has
// the same bits as a query would give.
//
// Work is cut into tasks, the subtrees of tree a at a fixed size (a function of the tree
// alone), each walked against the whole of tree b; threads take tasks from a shared counter.
// Counts are kept per task and added in task order, so a floating-point sum never depends on
// how many threads ran or which one took which task; listed pairs are sorted at the end.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <new>
#include <limits>
#include <vector>

#include "array/storage.hpp"
#include "spatial/ball_tree/ball_tree.hpp"
#include "spatial/kd_tree/kd_tree.hpp"
#include "spatial/vp_tree/vp_tree.hpp"

namespace veltrix {

// Every computed distance between a point of one node and a point of the other lies in [lo, hi].
struct PairRange {
    f64 lo, hi;
};

// Raises an upper bound and lowers a lower one by `rel` relative and `abs` absolute (the
// wrapped differences of a torus); NaN bounds become 0 and +inf, so that a pair of nodes
// whose bounds cannot be trusted is always descended into.
inline PairRange widen(f64 lo, f64 hi, f64 rel, f64 abs) noexcept {
    lo = (lo - lo * rel) - abs;
    hi = (hi + hi * rel) + abs;
    return {lo > 0.0 ? lo : 0.0, hi <= std::numeric_limits<f64>::infinity() ? hi : std::numeric_limits<f64>::infinity()};
}

template <class P>
struct PairBounds;

// Boxes: per coordinate the gap between the boxes (0 where they overlap) and the farthest
// extent, accumulated as the metric accumulates coordinate differences. Each is a difference
// of two point coordinates, at most (at least) the difference of any two points inside, and
// the accumulation is monotone, so both are exact bounds; the slack is a second guard. On a
// torus a difference t counts as min(t, L - t): the gap is the smaller of the near gap and L
// less the far extent, and the far extent is capped at L / 2. The k-d nodes keep such boxes,
// and the vantage-point nodes derive them.
// Single-precision boxes rounded outward bound their points as well (widened by less than
// one float step), and their corners convert to f64 exactly.
// Per coordinate i, the gap between two boxes (0 where they overlap) and their farthest extent.
// inf - inf (both boxes reaching one infinity) leaves the extent unbounded, not unknown: as
// NaN, the Chebyshev accumulation would skip it and call the pair close.
template <class T>
[[gnu::always_inline]] inline PairRange box_gap_and_extent(const T* alo, const T* ahi, const T* blo, const T* bhi,
                                                           u64 i) noexcept {
    const f64 gap = max_or_second(f64{alo[i]} - f64{bhi[i]}, max_or_second(f64{blo[i]} - f64{ahi[i]}, 0.0));
    const f64 far = max_or_second(f64{bhi[i]} - f64{alo[i]}, f64{ahi[i]} - f64{blo[i]});
    return {gap, std::isnan(far) ? std::numeric_limits<f64>::infinity() : far};
}

// The box a pair search bounds a node by: the k-d tree's own, the vantage-point tree's derived
// single-precision one.
template <class P>
const auto* node_box(const SpatialTree<P>& t, u64 id) noexcept {
    if constexpr (std::is_same_v<P, VpPolicy>) return t.box32(id);
    else return t.block(id);
}

template <class M, class T>
PairRange box_pair_range(const M& m, const TreeData& t, const T* alo, const T* ahi, const T* blo,
                         const T* bhi) noexcept {
    if constexpr (std::is_same_v<M, AnyPeriodic>) {
        return m.with([&](const auto& base) { return box_pair_range(base, t, alo, ahi, blo, bhi); });
    } else {
        const u64 dim = t.dim;
        f64 sl = 0.0, sh = 0.0;
        for (u64 i = 0; i < dim; ++i) {
            auto [gap, far] = box_gap_and_extent(alo, ahi, blo, bhi, i);
            if constexpr (is_periodic<M>) {
                const f64 L = m.box[i];
                const f64 round = L - far;
                if (round < gap) gap = round > 0.0 ? round : 0.0;
                if (far > L * 0.5) far = L * 0.5;
            }
            sl = M::accumulate(sl, gap);
            sh = M::accumulate(sh, far);
        }
        return widen(M::finish(sl), M::finish(sh), t.slack, t.abs_slack);
    }
}

template <>
struct PairBounds<KdPolicy> {
    template <class M>
    static PairRange of(const M& m, const SpatialTree<KdPolicy>& a, u64 ia, const SpatialTree<KdPolicy>& b,
                        u64 ib) noexcept {
        const f64* alo = node_box(a, ia);
        const f64* blo = node_box(b, ib);
        return box_pair_range(m, a, alo, alo + a.dim, blo, blo + b.dim);
    }
};

// Centres c_a, c_b holding their points within radii r_a, r_b: d(c_a, c_b) -/+ (r_a + r_b),
// widened for the rounding of the four distances behind it.
inline PairRange centre_bounds(f64 dc, f64 ra, f64 rb, const TreeData& t) noexcept {
    const f64 reach = ra + rb;
    const f64 err = (dc + reach) * (3.0 * t.slack);
    return widen((dc - reach) - err, (dc + reach) + err, 0.0, 2.0 * t.abs_slack);
}

template <>
struct PairBounds<BallPolicy> {
    template <class M>
    static PairRange of(const M& m, const SpatialTree<BallPolicy>& a, u64 ia, const SpatialTree<BallPolicy>& b,
                        u64 ib) noexcept {
        if constexpr (is_plane<M>(DistanceMetric::Chebyshev)) {
            // A centre between +inf and -inf has a NaN coordinate, which the Chebyshev
            // distance skips in the centres' distance and the radii but not between two
            // points (inf apart there): such centres bound nothing.
            const f64* ca = a.block(ia);
            const f64* cb = b.block(ib);
            for (u64 i = 0; i < a.dim; ++i)
                if (std::isnan(ca[i]) || std::isnan(cb[i])) return {0.0, std::numeric_limits<f64>::infinity()};
        }
        const f64 dc = m.distance(a.block(ia), b.block(ib), a.dim);
        return centre_bounds(dc, a.nodes[ia].radius, b.nodes[ib].radius, a);
    }
};

// A node's points lie within max_dist of its vantage point, which is one of them (a node of
// one point has max_dist -inf: radius 0); the others lie in the shell [min_dist, max_dist].
// Besides the two spheres, a point x of one node is at least min_b - d(x, v_b) from the
// shell of the other node and at least d(x, v_b) - max_b inside it, while v_b itself is
// d(x, v_b) >= d_v - r_a away: the smaller of the two holds for every point of the node.
// Shells are used only when every distance is finite (an infinite coordinate makes the
// differences meaningless).
template <>
struct PairBounds<VpPolicy> {
    static f64 reach(const VpPolicy::Node& n) noexcept { return n.max_dist > 0.0 ? n.max_dist : 0.0; }

    // The bound from the shell of node `s` for points within `r_near` of the other vantage
    // point, which lies dv from s's.
    static f64 shell_bound(const VpPolicy::Node& s, f64 dv, f64 r_near) noexcept {
        if (s.count() < 2) return 0.0;
        const f64 inside = (s.min_dist - dv) - r_near, outside = (dv - r_near) - s.max_dist;
        const f64 shell = inside > outside ? inside : outside;
        const f64 vantage = dv - r_near;
        return shell < vantage ? shell : vantage;
    }

    template <class M>
    static PairRange of(const M& m, const SpatialTree<VpPolicy>& a, u64 ia, const SpatialTree<VpPolicy>& b,
                        u64 ib) noexcept {
        const VpPolicy::Node& na = a.nodes[ia];
        const VpPolicy::Node& nb = b.nodes[ib];
        const f64 dv = m.distance(a.point(na.vantage), b.point(nb.vantage), a.dim);
        const f64 ra = reach(na), rb = reach(nb);
        PairRange out = centre_bounds(dv, ra, rb, a);
        const auto finite = [](const VpPolicy::Node& n) {
            return n.count() < 2 || (std::isfinite(n.min_dist) && std::isfinite(n.max_dist));
        };
        if (!(std::isfinite(dv) && finite(na) && finite(nb))) return out;
        const f64 sa = shell_bound(na, dv, rb), sb = shell_bound(nb, dv, ra);
        const f64 shell = sa > sb ? sa : sb;
        // Four distances behind each bound, as for the spheres.
        const f64 err = (dv + ra + rb + (na.min_dist > nb.min_dist ? na.min_dist : nb.min_dist)) * (3.0 * a.slack);
        const f64 lo = (shell - err) - 2.0 * a.abs_slack;
        if (lo > out.lo) out.lo = lo;
        return out;
    }

    // Walks whose result does not depend on how the node pairs were cut (`exact_prune`)
    // bound a pair by the derived boxes first: tighter than spheres and shells about the
    // inner part of a split, and cheaper than a distance between vantage points. Which pairs
    // are taken whole fixes a weighted sum's order, and that stays `of`'s.
    template <class M>
    static PairRange boxed(const M& m, const SpatialTree<VpPolicy>& a, u64 ia, const SpatialTree<VpPolicy>& b,
                           u64 ib) noexcept {
        const float* alo = node_box(a, ia);
        const float* blo = node_box(b, ib);
        return box_pair_range(m, a, alo, alo + a.dim, blo, blo + b.dim);
    }
    // The box's range tightened by the spheres and shells (loose about the outer part of a
    // split, a crescent seen from a point on it), for walks that refine.
    template <class M>
    static PairRange tight(const M& m, const SpatialTree<VpPolicy>& a, u64 ia, const SpatialTree<VpPolicy>& b,
                           u64 ib, PairRange box) noexcept {
        PairRange out = of(m, a, ia, b, ib);
        if (box.lo > out.lo) out.lo = box.lo;
        if (box.hi < out.hi) out.hi = box.hi;
        return out;
    }
};

// The Euclidean box pair's smallest and largest squared distances, as the distance kernel
// accumulates them (each gap and extent is a difference of two coordinates, rounded no further
// from zero than any two points' difference inside, and the accumulation is monotone): the
// bounds a walk that compares accumulations with a limit needs, without square roots.
template <class T>
PairRange box_pair_accumulations(u64 dim, const T* alo, const T* ahi, const T* blo, const T* bhi) noexcept {
    f64 sl = 0.0, sh = 0.0;
    for (u64 i = 0; i < dim; ++i) {
        const auto [gap, far] = box_gap_and_extent(alo, ahi, blo, bhi, i);
        sl = EuclideanMetric::accumulate(sl, gap);
        sh = EuclideanMetric::accumulate(sh, far);
    }
    return {sl, sh};
}

// Narrows window w to `next` by the bounds a walk with result set R uses for a pair of nodes;
// false when the pair is skipped. A set with `refine` (many radius bins: a narrower window
// saves work below) has a pair the boxes keep bounded again more tightly; a narrow that
// skips on wider bounds skips on tighter ones too. With one radius that cost more than it saved.
template <class P, class R, class M>
bool narrow_pair(const M& m, R& rs, const typename R::Window& w, const SpatialTree<P>& a, u64 ia,
                 const SpatialTree<P>& b, u64 ib, typename R::Window& next) {
    if constexpr (std::is_same_v<M, EuclideanMetric> && !std::is_same_v<P, BallPolicy> &&
                  requires { rs.narrow_accumulated(w, PairRange{}, next); }) {
        const auto* alo = node_box(a, ia);
        const auto* blo = node_box(b, ib);
        return rs.narrow_accumulated(w, box_pair_accumulations(a.dim, alo, alo + a.dim, blo, blo + a.dim), next);
    }
    if constexpr (R::exact_prune && requires { PairBounds<P>::boxed(m, a, ia, b, ib); }) {
        const PairRange box = PairBounds<P>::boxed(m, a, ia, b, ib);
        if (!rs.narrow(w, box, next)) return false;
        if constexpr (R::refine) return rs.narrow(w, PairBounds<P>::tight(m, a, ia, b, ib, box), next);
        return true;
    } else {
        // Sets whose sums depend on how the pairs were cut still skip, by the boxes, a pair of
        // nodes lying beyond every radius: it adds to no reported bin, and which pairs are
        // taken whole (the order of the sums) stays the walk's own bounds' decision.
        if constexpr (requires { PairBounds<P>::boxed(m, a, ia, b, ib); rs.beyond_every_radius(PairRange{}); })
            if (rs.beyond_every_radius(PairBounds<P>::boxed(m, a, ia, b, ib))) return false;
        return rs.narrow(w, PairBounds<P>::of(m, a, ia, b, ib), next);
    }
}

// The single-point search's lower bound from the point q to node `id` of t: a leaf point whose
// bound already exceeds every radius skips the leaf's distances.
template <class P, class M>
[[gnu::always_inline]] inline f64 point_node_bound(const M& m, const SpatialTree<P>& t, u64 id, const f64* q) noexcept {
    const typename P::Node& node = t.nodes[id];
    if constexpr (!std::is_same_v<P, VpPolicy>) {
        return P::lower_bound(t, node, P::measure(m, t, node, t.block(id), q));
    } else {
        // A point skipped here has no pair within any radius still reported, so another valid
        // bound changes no result: the derived box's, tighter about a small node than the
        // shell about its vantage point and cheaper.
        return KdPolicy::lower_bound(t, KDNode{}, KdPolicy::measure(m, t, KDNode{}, t.box32(id), q));
    }
}

// Leaves this small are scanned without a bound per point.
inline constexpr u64 point_bound_min = 8;

// ---------------------------------------------------------------------------------------------
// Tasks

// The subtrees of `t` at most `limit` points large whose parent is larger (the root alone when
// it is small), in pre-order, which is position order.
template <class P>
std::vector<u64> pair_tasks(const SpatialTree<P>& t) {
    // About 256 tasks: enough for a shared counter to even out uneven work on any core count.
    const u64 limit = std::max<u64>(t.leaf_size, t.n_points / 256);
    std::vector<u64> out, stack{0};
    while (!stack.empty()) {
        const u64 id = stack.back();
        stack.pop_back();
        const TreeNode& n = t.nodes[id];
        if (n.is_leaf() || n.count() <= limit) {
            out.push_back(id);
        } else {
            stack.push_back(n.right);
            stack.push_back(TreeNode::left_of(id));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The walk

// What a pair result set supplies to the walk:
//   Window                 what is still undecided about a pair of nodes (a range of radius bins);
//   narrow(w, range, out)  false: no pair of the nodes can be taken (skip them); else the window;
//   whole(w, ia, ib, same) true when the set took every pair of the two nodes without descending
//                          (`same`: one node paired with itself, each unordered pair once);
//   leaves(w, ia, ib, same) compares the points of two leaves;
//   exact_prune, refine     see narrow_pair.
template <class P, class M, class R>
struct PairWalk {
    const M& m;
    const SpatialTree<P>& a;
    const SpatialTree<P>& b;
    R& rs;
    // Pairs of one tree with itself: only positions p < q, each unordered pair once.
    bool symmetric = false;
    // Leaf pairs since the last look for a stop: one job can run for seconds with many bins.
    u64 since_poll = 0;

    void visit(u64 ia, u64 ib, const typename R::Window& w) {
        const TreeNode& na = a.nodes[ia];
        const TreeNode& nb = b.nodes[ib];
        const bool same = symmetric && ia == ib;
        if (symmetric && nb.end <= na.start) return;  // every q before every p: found from the other side
        typename R::Window next;
        if (!narrow_pair<P>(m, rs, w, a, ia, b, ib, next)) return;
        // One node inside the other (same tree): taking them whole would list pairs twice.
        const bool nested = symmetric && !same && nb.start < na.end && na.start < nb.end;
        if (!nested && rs.whole(next, ia, ib, same)) return;
        if (na.is_leaf() && nb.is_leaf()) {
            if (++since_poll == 64) {
                since_poll = 0;
                cancel::check();
            }
            rs.leaves(next, ia, ib, same);
            return;
        }
        const u64 la = TreeNode::left_of(ia), lb = TreeNode::left_of(ib);
        if (same) {
            visit(la, la, next);
            visit(la, na.right, next);
            visit(na.right, na.right, next);
            return;
        }
        // The larger node splits (tree a's on a tie), so that nested nodes of one tree come
        // apart and the two sides shrink together.
        if (!na.is_leaf() && (nb.is_leaf() || na.count() >= nb.count())) {
            visit(la, ib, next);
            visit(na.right, ib, next);
        } else {
            visit(ia, lb, next);
            visit(ia, nb.right, next);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Counting per radius bin

// Bin j < n holds the pairs at distances in (r[j-1], r[j]] (bin 0: [0, r[0]]), bin n the pairs
// beyond every radius, never reported. Radii are non-decreasing; a distance equal to several
// radii falls in the first bin of them.
template <class P, class M, class W>
struct BinCounts {
    using Window = std::pair<u64, u64>;  // the pairs lie in bins [first, second]
    static constexpr bool weighted = std::is_same_v<W, f64>;
    // Counts come out the same however the walk cuts the node pairs; weighted sums do not.
    static constexpr bool exact_prune = !weighted;
    static constexpr bool refine = true;

    const M& m;
    const SpatialTree<P>& a;
    const SpatialTree<P>& b;
    const f64* r;
    u64 n;
    const f64* lim;  // per radius, accumulation_limit(m, r[j])
    // Weighted: per position the point's weight, per node its weight sum; null otherwise.
    const f64* wa = nullptr;
    const f64* wb = nullptr;
    const f64* node_wa = nullptr;
    const f64* node_wb = nullptr;
    W* acc = nullptr;  // the n + 1 bins of the running task
    f64 d[64]{};

    // The first bin in [lo, hi) whose radius is at least x; hi if none (and for NaN).
    u64 bin_of(f64 x, u64 lo, u64 hi) const noexcept {
        while (lo < hi && !(x <= r[lo])) ++lo;
        return lo;
    }

    bool narrow(const Window& w, PairRange range, Window& out) const noexcept {
        const u64 lo = bin_of(range.lo, w.first, w.second);
        if (lo == n) return false;
        out = {lo, bin_of(range.hi, lo, w.second)};
        return true;
    }

    bool beyond_every_radius(PairRange range) const noexcept { return bin_of(range.lo, 0, n) == n; }

    bool whole(const Window& w, u64 ia, u64 ib, bool) noexcept {
        if (w.first != w.second) return false;
        if constexpr (weighted)
            acc[w.first] = acc[w.first] + node_wa[ia] * node_wb[ib];
        else
            acc[w.first] += a.nodes[ia].count() * b.nodes[ib].count();
        return true;
    }

    // Per point of a's leaf (position order), its distances to b's leaf in position order,
    // compared as accumulations with each radius's limit (the same decisions as the distances
    // with the radii, without the last step).
    void leaves(const Window& w, u64 ia, u64 ib, bool) noexcept {
        const TreeNode& na = a.nodes[ia];
        const TreeNode& nb = b.nodes[ib];
        const u64 lo = w.first, hi = w.second;
        const bool bound_points = nb.count() >= point_bound_min;
        for (u64 p = na.start; p < na.end; ++p) {
            if (bound_points && bin_of(point_node_bound(m, b, ib, a.point(p)), lo, hi) == n) continue;
            for (u64 q0 = nb.start; q0 < nb.end; q0 += 64) {
                const u64 k = std::min<u64>(64, nb.end - q0);
                accumulations_to(m, b.point(q0), k, a.dim, a.point(p), d);
                if constexpr (weighted) {
                    const f64 x = wa[p];
                    const f64* y = wb + q0;
                    if (hi == lo + 1) {
                        // Two bins left (the common case): one comparison decides.
                        const f64 rr = lim[lo];
                        f64 in = acc[lo], out = acc[lo + 1];
                        for (u64 j = 0; j < k; ++j) {
                            if (d[j] <= rr) in = in + x * y[j];
                            else out = out + x * y[j];
                        }
                        acc[lo] = in;
                        acc[lo + 1] = out;
                        continue;
                    }
                    // Each distance's bin counted out without a branch: the limits are
                    // non-decreasing, so the bins it lies beyond are the first ones (NaN lies
                    // beyond all: the window's last bin, as bin_of places it).
                    // Two distances at a time: "not <=" is all ones (-1) for NaN too.
                    alignas(16) i64 bins[64];
                    const u64 k2 = k & ~u64{1};
                    for (u64 j = 0; j < k; ++j) bins[j] = static_cast<i64>(lo);
                    for (u64 bin = lo; bin < hi; ++bin) {
                        const f64 rr = lim[bin];
                        const __m128d vr = _mm_set1_pd(rr);
                        for (u64 j = 0; j < k2; j += 2) {
                            const __m128i beyond = _mm_castpd_si128(_mm_cmpnle_pd(_mm_loadu_pd(d + j), vr));
                            auto* at = reinterpret_cast<__m128i*>(bins + j);
                            _mm_store_si128(at, _mm_sub_epi64(_mm_load_si128(at), beyond));
                        }
                        if (k2 < k) bins[k2] += !(d[k2] <= rr);
                    }
                    // Runs of one bin are summed in a register; each bin still adds its
                    // terms in j order.
                    u64 cur = lo;
                    f64 sum = acc[cur];
                    for (u64 j = 0; j < k; ++j) {
                        const u64 bin = static_cast<u64>(bins[j]);
                        if (bin != cur) {
                            acc[cur] = sum;
                            cur = bin;
                            sum = acc[cur];
                        }
                        sum = sum + x * y[j];
                    }
                    acc[cur] = sum;
                } else {
                    // Counts within each limit of the window (bin b holds those within its
                    // limit less those within the one before; NaN falls in the last, as
                    // bin_of places it): comparisons without a branch, over the block.
                    u64 before = 0;
                    for (u64 bin = lo; bin < hi; ++bin) {
                        const f64 rr = lim[bin];
                        u64 c = 0;
                        for (u64 j = 0; j < k; ++j) c += d[j] <= rr;
                        acc[bin] += c - before;
                        before = c;
                    }
                    acc[hi] += k - before;
                }
            }
        }
    }
};

// Per node of t the sum of its points' weights (w per position): a leaf's in position order
// from +0.0, an internal node's as left + right.
template <class P>
std::vector<f64> node_weights(const SpatialTree<P>& t, const std::vector<f64>& w) {
    std::vector<f64> out(t.nodes.size());
    for (u64 id = t.nodes.size(); id-- > 0;) {
        const TreeNode& n = t.nodes[id];
        if (n.is_leaf()) {
            f64 s = 0.0;
            for (u64 p = n.start; p < n.end; ++p) s = s + w[p];
            out[id] = s;
        } else {
            out[id] = out[TreeNode::left_of(id)] + out[n.right];
        }
    }
    return out;
}

// The counts (W = u64) or weight sums (W = f64) of the pairs (x in a, y in b) at distance
// <= r[j] for each of the n non-decreasing radii (cumulative), or in bin j alone. Weights are
// per input row, null for all ones (W = f64 only). The float sums: each task (a subtree of a,
// in position order) sums its own bins in its walk's order, a pair of nodes taken whole
// contributing the product of their weight sums; bin j is the tasks' sums added in task order
// from +0.0, and a cumulative result adds the bins in radius order.
template <class W, class P>
std::vector<W> count_pairs(const SpatialTree<P>& a, const SpatialTree<P>& b, const f64* r, u64 n,
                           const f64* weights_a, const f64* weights_b, bool cumulative, u64 threads) {
    VELTRIX_ASSERT_EQ(a.dim, b.dim, "pair searches need trees of one dimension");
    std::vector<W> out(n, W{});
    if (n == 0 || a.n_points == 0 || b.n_points == 0) return out;
    constexpr bool weighted = std::is_same_v<W, f64>;
    std::vector<f64> wa, wb, node_wa, node_wb;
    if constexpr (weighted) {
        const auto per_position = [](const SpatialTree<P>& t, const f64* w) {
            std::vector<f64> v(t.n_points, 1.0);
            if (w)
                for (u64 p = 0; p < t.n_points; ++p) v[p] = w[t.indices[p]];
            return v;
        };
        wa = per_position(a, weights_a);
        wb = per_position(b, weights_b);
        node_wa = node_weights(a, wa);
        node_wb = node_weights(b, wb);
    }
    const std::vector<u64> tasks = pair_tasks(a);
    std::vector<W> partial(tasks.size() * (n + 1), W{});
    a.with_tree_metric([&]<class M>(const M& m) {
        std::vector<f64> limits(n);
        for (u64 j = 0; j < n; ++j) limits[j] = accumulation_limit(m, r[j]);
        share_jobs(tasks.size(), threads, [&](u64 t) {
            BinCounts<P, M, W> rs{m, a, b, r, n, limits.data()};
            if constexpr (weighted) {
                rs.wa = wa.data();
                rs.wb = wb.data();
                rs.node_wa = node_wa.data();
                rs.node_wb = node_wb.data();
            }
            rs.acc = partial.data() + t * (n + 1);
            PairWalk<P, M, BinCounts<P, M, W>> walk{m, a, b, rs};
            walk.visit(tasks[t], 0, {0, n});
        });
    });
    for (u64 j = 0; j < n; ++j) {
        W s{};
        for (u64 t = 0; t < tasks.size(); ++t) s = s + partial[t * (n + 1) + j];
        out[j] = s;
    }
    if (cumulative)
        for (u64 j = 1; j < n; ++j) out[j] = out[j - 1] + out[j];
    return out;
}

// ---------------------------------------------------------------------------------------------
// Listing

// The pairs found, each as one key: a's input row above the low `shift` bits, b's row in them
// (so that keys order as (row, column) pairs), and, when kept, their distances.
struct PairList {
    std::vector<u64> keys;
    std::vector<f64> dists;
    u64 n = 0;  // entries in use; the vectors' sizes are their room
};

// Pairs sorted by row, then column.
struct SortedPairs {
    Storage<u64> keys;
    Storage<f64> dists;
    u64 shift = 0;

    u64 size() const noexcept { return keys.size(); }
    u64 row(u64 k) const noexcept { return keys[k] >> shift; }
    u64 col(u64 k) const noexcept { return keys[k] & ((u64{1} << shift) - 1); }
};

// How many pairs a listing may hold: a quarter of the machine's memory, since the parts, the
// sorted copy and the caller's arrays coexist. Going past it throws std::bad_alloc, before the
// system would start refusing pages (or killing the process) instead.
struct PairBudget {
    std::atomic<u64> taken{0};
    u64 limit;

    explicit PairBudget(u64 bytes_per_pair) {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        const u64 bytes = pages > 0 && page > 0 ? static_cast<u64>(pages) * static_cast<u64>(page) : u64{1} << 34;
        limit = bytes / 4 / bytes_per_pair;
    }
    // Claims room for n more pairs.
    void take(u64 n) {
        if (n > limit || taken.fetch_add(n, std::memory_order_relaxed) + n > limit) throw std::bad_alloc();
    }
    // Whether n more pairs would still fit, without claiming them.
    void check(u64 n) const {
        if (n > limit || taken.load(std::memory_order_relaxed) + n > limit) throw std::bad_alloc();
    }
};

// The pairs of node pairs lying entirely within the radius, found without descending below
// nodes of `coarse` points: a cheap lower bound of a listing's size, so that a listing far
// too large for memory (a cluster of duplicates, a radius spanning the data) is refused
// before anything is listed.
template <class P, class M>
struct CertainPairs {
    using Window = bool;
    static constexpr bool exact_prune = true;
    static constexpr bool refine = false;

    const SpatialTree<P>& a;
    const SpatialTree<P>& b;
    f64 r;
    u64 coarse;
    unsigned __int128 count = 0;

    bool narrow(bool, PairRange range, bool& inside) const noexcept {
        if (range.lo > r) return false;
        inside = range.hi <= r;
        return true;
    }
    bool whole(bool inside, u64 ia, u64 ib, bool same) noexcept {
        const u64 na = a.nodes[ia].count(), nb = b.nodes[ib].count();
        if (inside) {
            count += same ? static_cast<unsigned __int128>(na) * (na - 1) / 2 : static_cast<unsigned __int128>(na) * nb;
            return true;
        }
        return na <= coarse && nb <= coarse;
    }
    void leaves(bool, u64, u64, bool) noexcept {}
};

// Every pair within the radius, appended in walk order; nodes entirely within it are listed
// without their distances when these are not wanted.
template <class P, class M>
struct ListPairs {
    using Window = bool;  // every pair of the nodes is within the radius
    // The pairs are sorted at the end, so the walk's cut of the node pairs never shows.
    static constexpr bool exact_prune = true;
    static constexpr bool refine = false;

    const M& m;
    const SpatialTree<P>& a;
    const SpatialTree<P>& b;
    f64 r;
    bool with_dist;
    bool symmetric;
    PairList& out;
    PairBudget& budget;
    // Leaves compare accumulations with this instead of distances with r: the same pairs,
    // and a distance is finished only for a pair that is kept.
    f64 limit = accumulation_limit(m, r);
    f64 d[64]{};

    bool narrow(bool, PairRange range, bool& inside) const noexcept {
        if (range.lo > r) return false;
        inside = range.hi <= r;
        return true;
    }
    // The same from bounds on accumulations, compared with `limit` as the leaves do.
    bool narrow_accumulated(bool, PairRange acc, bool& inside) const noexcept {
        if (acc.lo > limit) return false;
        inside = acc.hi <= limit;
        return true;
    }

    u64 shift = 0;  // of the keys, see PairList

    // Room for more pairs, doubling: claimed from the budget first.
    [[gnu::noinline]] void grow() {
        const u64 more = std::max<u64>(out.keys.size(), 64);
        budget.take(more);
        out.keys.resize(out.keys.size() + more);
        if (with_dist) out.dists.resize(out.keys.size());
    }

    // The key of the pair of input rows x (of a) and y (of b); of one tree, the smaller first.
    u64 key(u64 x, u64 y) const noexcept {
        const u64 lo = symmetric && y < x ? y : x, hi = symmetric && y < x ? x : y;
        return lo << shift | hi;
    }

    // One pair of a node pair taken whole (listed only without distances).
    void emit(u64 p, u64 q) {
        if (out.n == out.keys.size()) grow();
        out.keys[out.n++] = key(a.indices[p], b.indices[q]);
    }

    // Of the k points of b at positions q(j), those whose accumulation d[j] is within the
    // limit, paired with position p of a. Every candidate is written and the count advances
    // only past the kept ones: no branch per candidate, whether one is kept being a coin toss.
    template <class Q>
    void emit_within(u64 p, u64 k, const f64* d, Q q) {
        while (out.n + k > out.keys.size()) grow();
        const u64 x = a.indices[p];
        u64* keys = out.keys.data();
        u64 n = out.n;
        const u64 first = n;
        for (u64 j = 0; j < k; ++j) {
            keys[n] = key(x, b.indices[q(j)]);
            if (with_dist) out.dists[n] = d[j];
            n += d[j] <= limit;
        }
        out.n = n;
        if (with_dist)
            for (u64 i = first; i < n; ++i) out.dists[i] = m.finish(out.dists[i]);
    }

    bool whole(bool inside, u64 ia, u64 ib, bool same) {
        if (!inside || with_dist) return false;
        const TreeNode& na = a.nodes[ia];
        const TreeNode& nb = b.nodes[ib];
        // A cluster of near-duplicates can hold more pairs than memory: refused before listing.
        const unsigned __int128 n = same ? static_cast<unsigned __int128>(na.count()) * (na.count() - 1) / 2
                                         : static_cast<unsigned __int128>(na.count()) * nb.count();
        budget.check(n > budget.limit ? budget.limit + 1 : static_cast<u64>(n));
        for (u64 p = na.start; p < na.end; ++p)
            for (u64 q = same ? p + 1 : nb.start; q < nb.end; ++q) emit(p, q);
        return true;
    }

    // Whether point q lies beyond the radius from every point of node `id` of t. The Euclidean
    // box bound of the vantage-point tree is compared before its square root, with `limit`:
    // the same decision as the bound's against r.
    bool point_outside(const SpatialTree<P>& t, u64 id, const f64* q) const noexcept {
        if constexpr (std::is_same_v<P, VpPolicy> && std::is_same_v<M, EuclideanMetric>) {
            return KdPolicy::gap_sum(t, t.box32(id), q) > limit;
        } else {
            return point_node_bound(m, t, id, q) > r;
        }
    }

    // Positions [first, last) of t whose points are not bounded away from node `id` of `other`,
    // into kept (at most 64), gathered without a branch per point: which ones are is a coin toss.
    u64 near_points(const SpatialTree<P>& t, u64 first, u64 last, const SpatialTree<P>& other, u64 id,
                    u64* kept) const noexcept {
        if constexpr (std::is_same_v<M, EuclideanMetric> && !std::is_same_v<P, BallPolicy>) {
            // The box's squared gaps against `limit`, as point_outside decides, with the box
            // held in registers for the common small dimensions.
            const auto* lo = node_box(other, id);
            if (t.dim == 2) return near_box<2>(t, first, last, other, id, lo, lo + 2, kept);
            if (t.dim == 3) return near_box<3>(t, first, last, other, id, lo, lo + 3, kept);
        }
        u64 n = 0;
        for (u64 p = first; p < last; ++p) {
            kept[n] = p;
            n += !point_outside(other, id, t.point(p));
        }
        return n;
    }

    template <u64 D, class B>
    u64 near_box(const SpatialTree<P>& t, u64 first, u64 last, const SpatialTree<P>& other, u64 id, const B* lo,
                 const B* hi, u64* kept) const noexcept {
        f64 l[D], h[D];
        for (u64 i = 0; i < D; ++i) {
            l[i] = f64{lo[i]};
            h[i] = f64{hi[i]};
        }
        u64 n = 0, p = first;
        // Two points at a time in the two lanes of a 128-bit vector (each lane the same
        // operations as one point alone).
        const __m128d zero = _mm_setzero_pd(), lim = _mm_set1_pd(limit);
        for (; p + 2 <= last; p += 2) {
            const f64* x0 = t.point(p);
            const f64* x1 = t.point(p + 1);
            __m128d s = zero;
            for (u64 i = 0; i < D; ++i) {
                const __m128d x = _mm_set_pd(x1[i], x0[i]);
                const __m128d below = _mm_sub_pd(_mm_set1_pd(l[i]), x), above = _mm_sub_pd(x, _mm_set1_pd(h[i]));
                const __m128d g = _mm_max_pd(_mm_max_pd(below, above), zero);
                s = _mm_add_pd(s, _mm_mul_pd(g, g));
            }
            const int within = _mm_movemask_pd(_mm_cmple_pd(s, lim));  // NaN: not within, as !(s > limit)...
            const int nan = _mm_movemask_pd(_mm_cmpunord_pd(s, s));     // ...is true for NaN
            const int keep = within | nan;
            kept[n] = p;
            n += keep & 1;
            kept[n] = p + 1;
            n += (keep >> 1) & 1;
        }
        if (p < last) {
            kept[n] = p;
            n += !point_outside(other, id, t.point(p));
        }
        return n;
    }

    // Two leaves of sizes worth bounding point by point are filtered from both sides: each
    // point of a's leaf against b's box and each of b's against a's; the distances are taken
    // between the points left (b's copied together for the distance kernel, whose results do
    // not depend on where a point sits in its batch).
    void leaves(bool, u64 ia, u64 ib, bool same) {
        const TreeNode& na = a.nodes[ia];
        const TreeNode& nb = b.nodes[ib];
        const u64 dim = a.dim;
        if (same || nb.count() < point_bound_min) {
            for (u64 p = na.start; p < na.end; ++p)
                for (u64 q0 = same ? p + 1 : nb.start; q0 < nb.end; q0 += 64) {
                    const u64 k = std::min<u64>(64, nb.end - q0);
                    accumulations_to(m, b.point(q0), k, dim, a.point(p), d);
                    emit_within(p, k, d, [q0](u64 j) { return q0 + j; });
                }
            return;
        }
        u64 kept_a[64], kept_b[64];
        if (near_b.size() < 64 * dim) near_b.resize(64 * dim);
        for (u64 q0 = nb.start; q0 < nb.end; q0 += 64) {
            const u64 kb = near_points(b, q0, std::min<u64>(q0 + 64, nb.end), a, ia, kept_b);
            if (kb == 0) continue;
            for (u64 j = 0; j < kb; ++j) std::copy_n(b.point(kept_b[j]), dim, near_b.data() + j * dim);
            for (u64 p0 = na.start; p0 < na.end; p0 += 64) {
                const u64 ka = near_points(a, p0, std::min<u64>(p0 + 64, na.end), b, ib, kept_a);
                for (u64 i = 0; i < ka; ++i) {
                    const u64 p = kept_a[i];
                    accumulations_to(m, near_b.data(), kb, dim, a.point(p), d);
                    emit_within(p, kb, d, [&kept_b](u64 j) { return kept_b[j]; });
                }
            }
        }
    }
    std::vector<f64> near_b{};  // b's points left by a filter, side by side
};

// One counting pass of a radix sort: the n elements of src, ordered by the `width`-bit digit
// of their key at `shift`, stably into dst; false (nothing written) when they all share it.
template <class T, class Key>
bool radix_pass(const T* src, T* dst, u64 n, u64 shift, u64 width, Key key, u64* count) {
    const u64 buckets = u64{1} << width, mask = buckets - 1;
    std::fill(count, count + buckets, u64{0});
    for (u64 i = 0; i < n; ++i) ++count[(key(src[i]) >> shift) & mask];
    if (count[(key(src[0]) >> shift) & mask] == n) return false;
    u64 pos = 0;
    for (u64 b = 0; b < buckets; ++b) {
        const u64 x = count[b];
        count[b] = pos;
        pos += x;
    }
    for (u64 i = 0; i < n; ++i) dst[count[(key(src[i]) >> shift) & mask]++] = src[i];
    return true;
}

// Sorts v ascending by the low `bits` bits of key(e). The top 11 bits go first (one pass over
// the whole); each of those 2048 buckets, a small part of the whole, is then sorted on the
// rest of its bits in 8-bit digits, least significant first, while it sits in the first-level
// cache. (Least significant digits over the whole made each pass run at the speed of memory.)
template <class T, class Key>
void radix_sort(Storage<T>& v, u64 bits, Key key) {
    const u64 n = v.size();
    if (n < 2 || bits == 0) return;
    const u64 top = std::min<u64>(11, bits), rest = bits - top;
    std::vector<u64> buf(u64{1} << top);
    u64* count = buf.data();
    Storage<T> other = uninitialized<T>(n);
    if (!radix_pass(v.data(), other.data(), n, rest, top, key, count)) {
        // One top digit throughout: nothing moved, and the counts become the buckets' ends.
        v.swap(other);
        for (u64 b = 1; b < (u64{1} << top); ++b) count[b] += count[b - 1];
    }
    // `other` holds the whole ordered by its top digit; count[b] is now the end of bucket b.
    if (rest == 0) {
        v.swap(other);
        return;
    }
    const u64 passes = (rest + 7) / 8, width = (rest + passes - 1) / passes;
    std::vector<T> scratch;
    u64 begin = 0;
    for (u64 b = 0; b < (u64{1} << top); ++b) {
        const u64 end = count[b], m = end - begin;
        T* src = other.data() + begin;
        T* out = v.data() + begin;
        if (m > 1) {
            if (scratch.size() < m) scratch.resize(m);
            T* dst = scratch.data();
            u64 digit_count[256];
            for (u64 d = 0; d < passes; ++d)
                if (radix_pass(src, dst, m, d * width, width, key, digit_count)) std::swap(src, dst);
        }
        std::copy(src, src + m, out);
        begin = end;
    }
}

// The parts' pairs, ordered by key (by row, then column). Each part's memory goes back once
// it is gathered.
SortedPairs sort_pairs(std::vector<PairList>& parts, u64 shift, u64 bits, bool with_dist);

// Every pair (x in a, y in b) at distance <= r, sorted by a's row, then b's row; with b null,
// every pair of a's own points i < j, sorted by (i, j).
template <class P>
SortedPairs list_pairs(const SpatialTree<P>& a, const SpatialTree<P>* b, f64 r, bool with_dist, u64 threads) {
    const bool symmetric = b == nullptr;
    const SpatialTree<P>& other = symmetric ? a : *b;
    VELTRIX_ASSERT_EQ(a.dim, other.dim, "pair searches need trees of one dimension");
    if (a.n_points == 0 || other.n_points == 0) return {};
    const std::vector<u64> tasks = pair_tasks(a);
    // One part per task: any thread may take any task, and the sort makes the order moot.
    std::vector<PairList> parts(tasks.size());
    // Keys (and distances) in the parts, then gathered and sorted through a second buffer.
    PairBudget budget(with_dist ? 32 : 16);
    // Row and column numbers need these many bits (a tree's rows fit 32 bits each).
    const u64 shift = static_cast<u64>(std::bit_width(other.n_points - 1));
    const u64 bits = shift + static_cast<u64>(std::bit_width(a.n_points - 1));
    a.with_tree_metric([&]<class M>(const M& m) {
        CertainPairs<P, M> certain{a, other, r, std::max<u64>(a.leaf_size, a.n_points / 64)};
        PairWalk<P, M, CertainPairs<P, M>> coarse{m, a, other, certain, symmetric};
        coarse.visit(0, 0, false);
        budget.check(certain.count > budget.limit ? budget.limit + 1 : static_cast<u64>(certain.count));
        share_jobs(tasks.size(), threads, [&](u64 t) {
            ListPairs<P, M> rs{m, a, other, r, with_dist, symmetric, parts[t], budget};
            rs.shift = shift;
            PairWalk<P, M, ListPairs<P, M>> walk{m, a, other, rs, symmetric};
            walk.visit(tasks[t], 0, false);
        });
    });
    return sort_pairs(parts, shift, bits, with_dist);
}

// Each tree's own translation unit compiles its pair searches (they are the largest code of
// the library, and compiling them once per tree keeps a build's units short and parallel).
#define VELTRIX_PAIR_SEARCHES(kind, P)                                                                  \
    kind template SortedPairs list_pairs<P>(const SpatialTree<P>&, const SpatialTree<P>*, f64, bool, u64); \
    kind template std::vector<u64> count_pairs<u64, P>(const SpatialTree<P>&, const SpatialTree<P>&,       \
                                                       const f64*, u64, const f64*, const f64*, bool, u64); \
    kind template std::vector<f64> count_pairs<f64, P>(const SpatialTree<P>&, const SpatialTree<P>&,       \
                                                       const f64*, u64, const f64*, const f64*, bool, u64);
VELTRIX_PAIR_SEARCHES(extern, KdPolicy)
VELTRIX_PAIR_SEARCHES(extern, BallPolicy)
VELTRIX_PAIR_SEARCHES(extern, VpPolicy)

}  // namespace veltrix
