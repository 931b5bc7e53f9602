// The allocator behind every array's elements: large blocks on transparent huge pages.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace veltrix {

namespace large_blocks {

// Blocks of at least this many bytes are mapped on their own, 2 MiB-aligned and advised for
// transparent huge pages; smaller ones come from the ordinary heap. Below it huge pages made
// no measurable difference; above it a streaming kernel on 4 KiB pages ran about 1.5x slower
// than on huge pages, and where the heap places a block (on huge pages or not) is luck.
inline constexpr std::size_t min_bytes = std::size_t{4} << 20;

// A freed block is kept for reuse by the next request of the same rounded size, so a result
// made on every call neither faults in nor zeroes fresh pages each time. The cache holds at
// most this many blocks and bytes; beyond that the oldest go back to the system.
inline constexpr std::size_t cache_max_blocks = 8;
inline constexpr std::size_t cache_max_bytes = std::size_t{128} << 20;

// A block of at least `bytes` bytes, 2 MiB-aligned, on huge pages where the system has them;
// std::bad_alloc when the system refuses it.
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

// The value of an element that its writer overwrites right after (see copy_of). The conversion
// only lets the vector's insert compile its paths for the middle, which copy_of never takes.
struct Uninit {
    template <class T>
    operator T() const noexcept {
        return T{};
    }
};

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

    // Default-initialises for Uninit (an element about to be overwritten), constructs as
    // std::allocator would otherwise.
    template <class U>
    void construct(U* p, Uninit) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::construct_at(p, std::forward<Args>(args)...);
    }

    template <class U>
    friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
        return true;
    }
};

// The element storage of arrays and of the buffers that become arrays.
template <class T>
using Storage = std::vector<T, LargeAllocator<T>>;

// Random-access iterator whose element i is f(i). Inserting a range of these into reserved
// capacity constructs each element in place, so the buffer is not zero-filled first (as
// vector(n) would) and every element is written exactly once.
template <class T, class F>
struct GenerateIter {
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = T;

    const F* f;
    difference_type i;

    T operator*() const { return (*f)(i); }
    GenerateIter& operator++() {
        ++i;
        return *this;
    }
    GenerateIter operator++(int) {
        GenerateIter t = *this;
        ++i;
        return t;
    }
    GenerateIter& operator--() {
        --i;
        return *this;
    }
    GenerateIter& operator+=(difference_type d) {
        i += d;
        return *this;
    }
    GenerateIter& operator-=(difference_type d) {
        i -= d;
        return *this;
    }
    friend GenerateIter operator+(GenerateIter a, difference_type d) { return a += d; }
    friend difference_type operator-(const GenerateIter& a, const GenerateIter& b) { return a.i - b.i; }
    friend bool operator==(const GenerateIter& a, const GenerateIter& b) { return a.i == b.i; }
};

// The element function that writes nothing (see copy_of).
struct Blank {
    Uninit operator()(std::ptrdiff_t) const noexcept { return {}; }
};

// n elements left uninitialised, for a kernel that writes every one of them right after.
template <class T>
Storage<T> uninitialized(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr Blank blank{};
    Storage<T> v;
    v.reserve(n);
    v.insert(v.end(), GenerateIter<Uninit, Blank>{&blank, 0},
             GenerateIter<Uninit, Blank>{&blank, static_cast<std::ptrdiff_t>(n)});
    return v;
}

// A copy of [first, first + n) by one memcpy. The library's own element-wise copy serves only
// std::allocator; with any other allocator a vector copies element by element, which at 10^6
// elements took about 1.25x memcpy's time.
template <class T>
Storage<T> copy_of(const T* first, std::size_t n) {
    Storage<T> v = uninitialized<T>(n);
    if (n) std::memcpy(v.data(), first, n * sizeof(T));
    return v;
}

}  // namespace veltrix
