#include "array/storage.hpp"

#include <cstdint>
#include <mutex>

#include <pthread.h>

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define VELTRIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTRIX_ASAN 1
#endif
#endif

namespace veltrix::large_blocks {

namespace {

#ifndef VELTRIX_ASAN

constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + huge_page - 1) & ~(huge_page - 1); }

// Maps `size` bytes (a multiple of 2 MiB) at a 2 MiB boundary: a huge page can only back an
// aligned 2 MiB range, so an unaligned mapping would leave its first and last pages small.
void* map_block(std::size_t size) {
    const std::size_t span = size + huge_page;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
    if (start > base) munmap(raw, start - base);
    const std::uintptr_t end = start + size;
    if (base + span > end) munmap(reinterpret_cast<void*>(end), base + span - end);
    // Only a hint: where the kernel has no huge page to give, the block stays on small pages.
    (void)madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

struct Block {
    void* p;
    std::size_t size;
};

// Oldest first. Trivially destructible, so blocks freed during interpreter shutdown, after the
// module's static destructors could have run, still find it intact.
struct Cache {
    std::mutex lock;
    Block blocks[cache_max_blocks];
    std::size_t count = 0;
    std::size_t bytes = 0;

    void remove(std::size_t i) noexcept {
        bytes -= blocks[i].size;
        for (std::size_t j = i + 1; j < count; ++j) blocks[j - 1] = blocks[j];
        --count;
    }
};

constinit Cache cache{};

// A fork while another thread holds the lock would leave the child's copy locked for good: the
// forking thread takes it first and both sides let it go after.
void lock_for_fork() noexcept { cache.lock.lock(); }
void unlock_after_fork() noexcept { cache.lock.unlock(); }
[[maybe_unused]] const int fork_handlers = pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);

#endif

}  // namespace

#ifdef VELTRIX_ASAN

// Under AddressSanitizer every block comes from the heap it instruments, so a use after free
// is reported rather than hidden by a cached block.
void* allocate(std::size_t bytes) { return ::operator new(bytes); }
void deallocate(void* p, std::size_t) noexcept { ::operator delete(p); }
CacheState cached() noexcept { return {}; }
CacheState release() noexcept { return {}; }

#else

void* allocate(std::size_t bytes) {
    const std::size_t size = rounded(bytes);
    {
        std::lock_guard<std::mutex> g(cache.lock);
        // Newest first: its pages are the likeliest to be still in the caches.
        for (std::size_t i = cache.count; i-- > 0;) {
            if (cache.blocks[i].size != size) continue;
            void* p = cache.blocks[i].p;
            cache.remove(i);
            return p;
        }
    }
    return map_block(size);
}

void deallocate(void* p, std::size_t bytes) noexcept {
    const std::size_t size = rounded(bytes);
    if (size > cache_max_bytes) {
        munmap(p, size);
        return;
    }
    Block evicted[cache_max_blocks];
    std::size_t n_evicted = 0;
    {
        std::lock_guard<std::mutex> g(cache.lock);
        while (cache.count == cache_max_blocks || cache.bytes + size > cache_max_bytes) {
            evicted[n_evicted++] = cache.blocks[0];
            cache.remove(0);
        }
        cache.blocks[cache.count++] = {p, size};
        cache.bytes += size;
    }
    // The system calls run outside the lock, so other threads' allocations do not wait on them.
    for (std::size_t i = 0; i < n_evicted; ++i) munmap(evicted[i].p, evicted[i].size);
}

CacheState cached() noexcept {
    std::lock_guard<std::mutex> g(cache.lock);
    return {cache.count, cache.bytes};
}

CacheState release() noexcept {
    Block held[cache_max_blocks];
    CacheState out;
    {
        std::lock_guard<std::mutex> g(cache.lock);
        out = {cache.count, cache.bytes};
        for (std::size_t i = 0; i < cache.count; ++i) held[i] = cache.blocks[i];
        cache.count = 0;
        cache.bytes = 0;
    }
    for (std::size_t i = 0; i < out.blocks; ++i) munmap(held[i].p, held[i].size);
    return out;
}

#endif

}  // namespace veltrix::large_blocks
