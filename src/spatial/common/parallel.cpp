#include "spatial/common/parallel.hpp"

#include <sched.h>

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "array/error.hpp"

namespace veltrix {

u64 resolve_workers(i64 workers) {
    if (workers >= 1) return static_cast<u64>(workers);
    if (workers != -1) VELTRIX_FAIL("workers must be -1 or at least 1");
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n > 0 ? static_cast<u64>(n) : 1;
}

void share_jobs(u64 n, u64 threads, JobRef job) {
    if (n <= 1 || threads <= 1) {
        for (u64 j = 0; j < n; ++j) {
            cancel::check();
            job(j);
        }
        return;
    }
    CancelToken* const token = cancel::current;
    const bool owner = cancel::is_owner;
    std::atomic<u64> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    const auto work = [&](bool caller) {
        const cancel::Scope scope(token, caller && owner);
        try {
            for (;;) {
                if (failed.load(std::memory_order_relaxed)) return;
                cancel::check();
                const u64 j = next.fetch_add(1, std::memory_order_relaxed);
                if (j >= n) return;
                job(j);
            }
        } catch (...) {
            // Only the first failure is kept; the others stop at their next job.
            if (!failed.exchange(true)) error = std::current_exception();
        }
    };
    {
        // Joined on every way out, so no thread outlives the references it holds.
        struct Joined {
            std::vector<std::thread> threads;
            ~Joined() {
                for (std::thread& t : threads) t.join();
            }
        } started;
        const u64 extra = std::min(threads, n) - 1;
        started.threads.reserve(extra);
        try {
            for (u64 t = 0; t < extra; ++t) started.threads.emplace_back(work, false);
        } catch (const std::system_error&) {
            // No further thread to be had: those started and this one share the jobs.
        }
        work(true);
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace veltrix
