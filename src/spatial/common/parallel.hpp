// Hands the rows of a batch out to threads started for one call, a small block at a time from
// a shared counter: rows cost very different amounts (a query in a dense cluster against one
// in empty space), so equal slices would leave threads idle. Each row's result depends on that
// row alone, so neither the blocks nor the thread that takes one ever show in it.
#pragma once

#include <algorithm>
#include <type_traits>

#include "array/cancel.hpp"
#include "array/ndarray.hpp"

namespace veltrix {

// `workers` as a caller passes it: n >= 1 threads, or -1 for every core this process may
// run on. Any other value is a precondition violation (the binding refuses it first).
u64 resolve_workers(i64 workers);

// Rows per block when m rows are shared by `threads` threads: some sixteen blocks per thread
// for the balance, no fewer than 64 rows so that a block's search order (leaf by leaf) still
// keeps the caches warm, and no more than 256 (one thread: 128), so that a cancellation,
// polled between blocks, is noticed soon even when every row visits a large tree.
inline u64 block_rows(u64 m, u64 threads) noexcept {
    if (threads <= 1 || m == 0) return m > 0 ? std::min<u64>(m, 128) : 1;
    return std::clamp<u64>(m / (threads * 16), 64, 256);
}

// The number of blocks for_each_block makes of m rows.
inline u64 block_count(u64 m, u64 threads) noexcept {
    const u64 b = block_rows(m, threads);
    return (m + b - 1) / b;
}

// A borrowed callable taking a job number: the thread machinery below is compiled once, not
// once per job (each job's body was compiled twice, for the serial and the threaded path).
// Jobs are coarse (a block of rows, a subtree), so the indirect call costs nothing measurable.
class JobRef {
public:
    template <class Job>
        requires(!std::is_same_v<std::remove_cv_t<Job>, JobRef>)
    JobRef(Job& job) noexcept
        : object_(&job), call_([](void* o, u64 j) { (*static_cast<Job*>(o))(j); }) {}
    void operator()(u64 j) const { call_(object_, j); }

private:
    void* object_;
    void (*call_)(void*, u64);
};

// Calls job(j) once for each j in [0, n) on up to `threads` threads, the calling one
// included, handing the j out from a shared counter in ascending order. The first exception a
// job throws stops the handing out and is rethrown once every thread has finished. Before
// each job the caller's cancellation token is polled (cancel.hpp): the started threads share
// it, and a cancelled batch throws Cancelled once all have stopped.
void share_jobs(u64 n, u64 threads, JobRef job);

template <class Job>
void share_jobs(u64 n, u64 threads, Job&& job) {
    share_jobs(n, threads, JobRef(job));
}

// Calls block(b, begin, end) once for each block b = 0, 1, ... of [0, m), block b covering
// [b * B, min((b + 1) * B, m)) for B = block_rows(m, threads), through share_jobs: blocks
// run in any order and on any thread, and none at all is started when one block covers the
// batch.
template <class Block>
void for_each_block(u64 m, u64 threads, Block&& block) {
    const u64 rows = block_rows(m, threads), n = m == 0 ? 0 : block_count(m, threads);
    share_jobs(n, threads, [&](u64 b) { block(b, b * rows, std::min((b + 1) * rows, m)); });
}

}  // namespace veltrix
