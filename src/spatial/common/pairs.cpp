#include "spatial/common/pairs.hpp"

// Out of line, as it is the same for every tree and metric: one copy of the sort.
namespace veltrix {

SortedPairs sort_pairs(std::vector<PairList>& parts, u64 shift, u64 bits, bool with_dist) {
    SortedPairs out;
    out.shift = shift;
    u64 m = 0;
    for (const PairList& part : parts) m += part.n;
    if (!with_dist) {
        out.keys = uninitialized<u64>(m);
        u64 at = 0;
        for (PairList& part : parts) {
            std::copy(part.keys.data(), part.keys.data() + part.n, out.keys.data() + at);
            at += part.n;
            part = PairList{};
        }
        radix_sort(out.keys, bits, [](u64 k) { return k; });
        return out;
    }
    struct Entry {
        u64 key;
        f64 dist;
    };
    Storage<Entry> all = uninitialized<Entry>(m);
    u64 at = 0;
    for (PairList& part : parts) {
        for (u64 k = 0; k < part.n; ++k) all[at + k] = {part.keys[k], part.dists[k]};
        at += part.n;
        part = PairList{};
    }
    radix_sort(all, bits, [](const Entry& e) { return e.key; });
    out.keys = uninitialized<u64>(m);
    out.dists = uninitialized<f64>(m);
    for (u64 k = 0; k < m; ++k) {
        out.keys[k] = all[k].key;
        out.dists[k] = all[k].dist;
    }
    return out;
}

}  // namespace veltrix
