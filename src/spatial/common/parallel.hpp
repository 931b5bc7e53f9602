// Splits a batch of query rows into contiguous blocks over threads started for one call.
// Each row's result depends on that row alone, so the block boundaries never show in it.
#pragma once

#include <system_error>
#include <thread>
#include <vector>

#include "array/ndarray.hpp"

namespace veltrix {

// `workers` as a caller passes it: n >= 1 threads, or -1 for every core this process may
// run on. Any other value is a precondition violation (the binding refuses it first).
u64 resolve_workers(i64 workers);

// The number of blocks for_each_block makes of m rows.
inline u64 block_count(u64 m, u64 threads) noexcept { return threads < m ? threads : m; }

// Calls block(b, begin, end) for the blocks b = 0, 1, ... of [0, m): at most `threads`
// contiguous, near-equal blocks in ascending order. The calling thread takes the first block; one further thread
// is started per remaining block, and none at all when one block covers the batch.
template <class Block>
void for_each_block(u64 m, u64 threads, Block&& block) {
    const u64 n = block_count(m, threads);
    if (n <= 1) {
        if (m > 0) block(u64{0}, u64{0}, m);
        return;
    }
    // Block b covers [b * m / n, (b + 1) * m / n).
    const auto bound = [&](u64 b) { return static_cast<u64>(static_cast<unsigned __int128>(b) * m / n); };
    // Joined on every way out, so no thread outlives the references it holds.
    struct Joined {
        std::vector<std::thread> threads;
        ~Joined() {
            for (std::thread& t : threads) t.join();
        }
    } started;
    started.threads.reserve(n - 1);
    u64 b = 1;
    try {
        for (; b < n; ++b) started.threads.emplace_back([&block, &bound, b] { block(b, bound(b), bound(b + 1)); });
    } catch (const std::system_error&) {
        // No thread to be had: the calling thread takes the remaining blocks as well.
    }
    block(u64{0}, u64{0}, bound(1));
    for (; b < n; ++b) block(b, bound(b), bound(b + 1));
}

}  // namespace veltrix
