// The bounded max-heap of the k-nearest searches. Its exact sift steps decide which of
// several equidistant points a search keeps and in which order they come out, so every
// comparison below is part of the result.
#pragma once

#include <vector>

#include "array/ndarray.hpp"

namespace veltrix {

struct Neighbor {
    f64 dist;
    u64 row;  // input row number
};

class NeighborHeap {
public:
    explicit NeighborHeap(u64 capacity) { e_.reserve(capacity); }

    u64 size() const noexcept { return e_.size(); }
    // Largest distance held; the heap must not be empty.
    f64 max_dist() const noexcept { return e_[0].dist; }

    void push(Neighbor x) {
        e_.push_back(x);
        sift_up(e_.size() - 1, x);
    }

    // Removes and returns the largest entry: the hole left at the root runs to the bottom
    // along the larger children (the right one on ties), then the last entry rises from there.
    Neighbor pop() {
        Neighbor x = e_.back();
        e_.pop_back();
        if (e_.empty()) return x;
        const Neighbor top = e_[0];
        const u64 n = e_.size();
        u64 hole = 0, child = 1;
        while (child + 2 <= n) {
            if (!(e_[child].dist > e_[child + 1].dist)) ++child;
            e_[hole] = e_[child];
            hole = child;
            child = 2 * hole + 1;
        }
        if (child == n - 1) {
            e_[hole] = e_[child];
            hole = child;
        }
        sift_up(hole, x);
        return top;
    }

    void clear() noexcept { e_.clear(); }

    // Heap sort in place into ascending distance; the heap is empty afterwards. Writes the
    // distances (when `dist` is not null) and the rows in that order.
    void drain_sorted(f64* dist, u64* rows) {
        for (u64 end = e_.size(); end-- > 1;) {
            std::swap(e_[0], e_[end]);
            const Neighbor x = e_[0];
            u64 hole = 0, child = 1;
            while (child + 2 <= end) {
                if (!(e_[child].dist > e_[child + 1].dist)) ++child;
                if (!(e_[child].dist > x.dist)) break;
                e_[hole] = e_[child];
                hole = child;
                child = 2 * hole + 1;
            }
            if (child + 1 == end && x.dist < e_[child].dist) {
                e_[hole] = e_[child];
                hole = child;
            }
            e_[hole] = x;
        }
        for (u64 i = 0; i < e_.size(); ++i) {
            if (dist) dist[i] = e_[i].dist;
            rows[i] = e_[i].row;
        }
        e_.clear();
    }

private:
    void sift_up(u64 i, Neighbor x) noexcept {
        while (i > 0) {
            const u64 parent = (i - 1) / 2;
            if (!(x.dist > e_[parent].dist)) break;
            e_[i] = e_[parent];
            i = parent;
        }
        e_[i] = x;
    }

    std::vector<Neighbor> e_;
};

}  // namespace veltrix
