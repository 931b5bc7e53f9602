#include "spatial/common/tree.hpp"

// The build pieces that do not depend on the tree's node policy, compiled once for all trees.
namespace veltrix {

template void sum_and_box<false>(const f64*, u64, u64, f64*, f64*, f64*) noexcept;
template void sum_and_box<true>(const f64*, u64, u64, f64*, f64*, f64*) noexcept;

f64 select_coordinate(const f64* pts, u64 n, u64 dim, u64 sd, u64 rank, std::vector<f64>& buffer, u64 threads) {
    return select_keys(n, rank, buffer, threads, [&](u64 b, u64 e, auto&& f) {
        for (u64 p = b; p < e; ++p) f(pts[p * dim + sd]);
    });
}

u64 split_at_median(TreeData& t, BuildScratch& s, u64 start, u64 end, u64 sd) {
    const u64 n = end - start;
    const auto less = [](f64 a, f64 b) { return a < b; };
    TreeIndex* idx = t.indices.data() + start;
    f64* pts = t.data.data() + start * t.dim;
    f64 pivot;
    if (n > radix_select_min) {
        // Large nodes (the top of a big build) select without a copy of their keys.
        pivot = select_coordinate(pts, n, t.dim, sd, n / 2, s.keys, s.threads);
    } else {
        s.keys.resize(n);
        for (u64 k = 0; k < n; ++k) s.keys[k] = pts[k * t.dim + sd];
        pivot = select_value(s.keys.data(), n, n / 2, less);
    }
    if (s.threads > 1 && n >= parallel_pass_min &&
        partition_points_parallel<true>(nullptr, idx, pts, n, t.dim, pivot, less, sd, s.threads))
        return start + n / 2;
    partition_any_dim<true>(nullptr, idx, pts, n, t.dim, pivot, less, sd);
    return start + n / 2;
}

}  // namespace veltrix
