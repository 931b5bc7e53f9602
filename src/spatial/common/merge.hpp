// Results of one point set split by rows into shards, each shard searched by its own tree:
// the boxes that decide which shards a block of query rows must visit, and the merges that
// turn per-shard answers (shard-local row numbers) into the answer over all points.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "array/error.hpp"
#include "array/ndarray.hpp"
#include "spatial/common/metric.hpp"
#include "spatial/common/neighbor_heap.hpp"

namespace veltrix::sharded {

inline constexpr f64 inf = std::numeric_limits<f64>::infinity();

// Per-coordinate extremes of m rows of d coordinates (lo = +inf, hi = -inf for no rows);
// false as soon as a NaN is met.
inline bool bounds(const f64* x, u64 m, u64 d, f64* lo, f64* hi) noexcept {
    std::fill(lo, lo + d, inf);
    std::fill(hi, hi + d, -inf);
    for (u64 i = 0; i < m; ++i) {
        for (u64 c = 0; c < d; ++c) {
            const f64 v = x[i * d + c];
            if (std::isnan(v)) return false;
            lo[c] = v < lo[c] ? v : lo[c];
            hi[c] = v > hi[c] ? v : hi[c];
        }
    }
    return true;
}

// Gap between [a0, a1] and [b0, b1] along one axis, the second interval shifted by whole
// periods when the axis has one (period > 0 and finite).
inline f64 axis_gap(f64 a0, f64 a1, f64 b0, f64 b1, f64 period) noexcept {
    const auto linear = [&](f64 shift) { return std::max({0.0, b0 + shift - a1, a0 - (b1 + shift)}); };
    if (!(period > 0.0) || std::isinf(period)) return linear(0.0);
    if ((a1 - a0) + (b1 - b0) >= period) return 0.0;
    // The shift that best aligns the centres, and its neighbours on both sides.
    const f64 k = std::floor(((a0 + a1) * 0.5 - (b0 + b1) * 0.5) / period + 0.5);
    f64 best = inf;
    for (f64 j = k - 1.0; j <= k + 1.0; j += 1.0) best = std::min(best, linear(j * period));
    // Shifted bounds round; stay below any distance a tree could compute.
    return std::max(0.0, best - 4.0 * DBL_EPSILON * period);
}

// A lower bound of the distance any point of box a has to any point of box b under the
// metric, lowered by the relative error a tree allows one computed distance, so that a shard
// skipped on this bound holds no point a search would accept. An empty box is infinitely far.
inline f64 box_gap(const f64* alo, const f64* ahi, const f64* blo, const f64* bhi, u64 d, DistanceMetric metric,
                   const f64* periods) noexcept {
    f64 acc = 0.0;
    for (u64 c = 0; c < d; ++c) {
        if (alo[c] > ahi[c] || blo[c] > bhi[c]) return inf;
        const f64 g = axis_gap(alo[c], ahi[c], blo[c], bhi[c], periods ? periods[c] : 0.0);
        switch (metric) {
            case DistanceMetric::Euclidean: acc = g * g + acc; break;
            case DistanceMetric::Manhattan: acc = acc + g; break;
            case DistanceMetric::Chebyshev: acc = std::max(acc, g); break;
        }
    }
    const f64 gap = metric == DistanceMetric::Euclidean ? std::sqrt(acc) : acc;
    return gap * (1.0 - static_cast<f64>(2 * d + 4) * DBL_EPSILON);
}

// ---------------------------------------------------------------------------------------------
// k nearest

// The k nearest of m query rows over all shards, each row's k entries ordered by (distance,
// global row); empty places hold (inf, n), n being the total number of points.
class KnnMerge {
public:
    KnnMerge(u64 m, u64 k, u64 n) : m_(m), k_(k), n_(n), dist_(m * k, inf), rows_(m * k, n) {}

    // Adds one shard's answer for m_p of the rows: row sel[j] (j when sel is null) found
    // k_p entries, shard-local rows `local` of a shard holding `size` points from global row
    // `offset` on. A local row of `size` or more marks an empty place and is skipped.
    void add(const f64* dist, const u64* local, u64 m_p, u64 k_p, u64 offset, u64 size, const u64* sel) {
        std::vector<Neighbor> found, merged;
        for (u64 j = 0; j < m_p; ++j) {
            const u64 i = sel ? sel[j] : j;
            if (i >= m_) VELTRIX_FAIL("query row out of range");
            found.clear();
            for (u64 e = 0; e < k_p; ++e) {
                const u64 r = local[j * k_p + e];
                if (r < size) found.push_back({dist[j * k_p + e], offset + r});
            }
            // A shard lists equal distances in its heap's order; here they go by row.
            std::sort(found.begin(), found.end(), before);
            f64* d = dist_.data() + i * k_;
            u64* r = rows_.data() + i * k_;
            merged.clear();
            // a + b = merged.size() < k, so a held entry is always left to compare with.
            for (u64 a = 0, b = 0; merged.size() < k_;) {
                const Neighbor held{d[a], r[a]};
                if (b < found.size() && before(found[b], held)) merged.push_back(found[b++]);
                else merged.push_back(held), ++a;
            }
            for (u64 e = 0; e < k_; ++e) d[e] = merged[e].dist, r[e] = merged[e].row;
        }
    }

    const std::vector<f64>& distances() const noexcept { return dist_; }
    const std::vector<u64>& rows() const noexcept { return rows_; }

private:
    static bool before(const Neighbor& x, const Neighbor& y) noexcept {
        return x.dist < y.dist || (x.dist == y.dist && x.row < y.row);
    }

    u64 m_, k_, n_;
    std::vector<f64> dist_;
    std::vector<u64> rows_;
};

// ---------------------------------------------------------------------------------------------
// Radius searches

// One row's points within the radius over all shards, global rows in shard order; ordered by
// (distance, global row) when the shards' lists were each sorted that way.
struct RowList {
    std::vector<u64> rows;
    std::vector<f64> dists;
};

// Appends a shard's list (shard-local rows, their distances when `dists` is not null).
// Sorted lists merge into sorted lists: a shard's rows are ascending within equal distances,
// and adding the shard's offset keeps them so.
inline void append_list(RowList& out, const u64* local, const f64* dists, u64 n, u64 offset, bool sorted) {
    if (!sorted) {
        for (u64 e = 0; e < n; ++e) out.rows.push_back(offset + local[e]);
        return;
    }
    RowList merged;
    merged.rows.reserve(out.rows.size() + n);
    merged.dists.reserve(out.rows.size() + n);
    u64 a = 0, b = 0;
    while (a < out.rows.size() || b < n) {
        const bool take_new = a == out.rows.size() ||
                              (b < n && (dists[b] < out.dists[a] ||
                                         (dists[b] == out.dists[a] && offset + local[b] < out.rows[a])));
        if (take_new) merged.rows.push_back(offset + local[b]), merged.dists.push_back(dists[b]), ++b;
        else merged.rows.push_back(out.rows[a]), merged.dists.push_back(out.dists[a]), ++a;
    }
    out = std::move(merged);
}

// ---------------------------------------------------------------------------------------------
// Sums over shards

// out[i] += part[i] for each part in the order given: the order is the one thing that makes
// the bits of a sum, so shards are always added in shard order, whoever computed them.
template <class T>
void add_in_order(T* out, const T* part, u64 n) noexcept {
    for (u64 i = 0; i < n; ++i) out[i] = out[i] + part[i];
}

}  // namespace veltrix::sharded
