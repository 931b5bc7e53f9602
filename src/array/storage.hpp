// The allocator behind every array's elements: large blocks on transparent huge pages.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace veltrix {

namespace large_blocks {

// Blocks of at least this many bytes are mapped on their own, 2 MiB-aligned and advised for
// transparent huge pages; smaller ones come from the ordinary heap. Below it the heap's reuse
// of warm memory wins; at and above it a streaming kernel on 4 KiB pages runs about 1.5x slower
// than on huge pages, and where the heap places a block (on huge pages or not) is luck.
inline constexpr std::size_t min_bytes = std::size_t{4} << 20;

// A freed block is kept for reuse by the next request of the same rounded size, so a result
// made on every call neither faults in nor zeroes fresh pages each time. The cache holds at
// most this many blocks and bytes; beyond that the oldest go back to the system.
inline constexpr std::size_t cache_max_blocks = 8;
inline constexpr std::size_t cache_max_bytes = std::size_t{128} << 20;

// A block of at least `bytes` bytes, 2 MiB-aligned, on huge pages where the system has them;
// std::bad_alloc when the system refuses it. Arrays use it from min_bytes; long-lived scratch
// space may use it for smaller blocks too.
void* allocate(std::size_t bytes);
// Returns a block from allocate(bytes) (the same `bytes`) to the cache or the system.
void deallocate(void* p, std::size_t bytes) noexcept;

struct CacheState {
    std::size_t blocks = 0;
    std::size_t bytes = 0;
};
// What the cache holds now.
CacheState cached() noexcept;
// Unmaps every cached block; returns what was released.
CacheState release() noexcept;

}  // namespace large_blocks

// std::allocator for small blocks, large_blocks for large ones; stateless, so vectors move
// and swap their buffers freely.
template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= large_blocks::min_bytes) return static_cast<T*>(large_blocks::allocate(bytes));
        return std::allocator<T>{}.allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= large_blocks::min_bytes) large_blocks::deallocate(p, bytes);
        else std::allocator<T>{}.deallocate(p, n);
    }

    template <class U>
    friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
        return true;
    }
};

// The element storage of arrays and of the buffers that become arrays.
template <class T>
using Storage = std::vector<T, LargeAllocator<T>>;

}  // namespace veltrix
