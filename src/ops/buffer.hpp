// Result buffers that are allocated once and written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/storage.hpp"

#include <sys/mman.h>

namespace veltrix::buffer {

// Offers a large buffer to the kernel for transparent huge pages, which spares the TLB misses
// of streaming through it. Only a hint: it changes no value and its failure is ignored.
inline void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t page = 4096;
    constexpr std::size_t large = std::size_t{4} << 20;
    if (bytes < large) return;
    const auto p = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (p + page - 1) & ~(page - 1);
    (void)madvise(reinterpret_cast<void*>(first), p + bytes - first, MADV_HUGEPAGE);
}

// An empty vector with capacity for n elements. A large one is already advised for huge pages
// by its allocator.
template <class T>
Storage<T> reserve(std::size_t n) {
    Storage<T> v;
    v.reserve(n);
    return v;
}

// n value-initialised elements (zeros), for kernels that write their results in place.
template <class T>
Storage<T> zeroed(std::size_t n) {
    Storage<T> v = reserve<T>(n);
    v.resize(n);
    return v;
}

// The vector whose element i is f(i), for i = 0 .. n-1 in order. One loop writes them all:
// a separate loop for the first few elements (to align the stores of the rest) could be
// compiled with its operands the other way round, which changes which of two NaN operands'
// payloads the result carries.
template <class T, class F>
Storage<T> generate(std::size_t n, const F& f) {
    Storage<T> v = reserve<T>(n);
    v.insert(v.end(), GenerateIter<T, F>{&f, 0}, GenerateIter<T, F>{&f, static_cast<std::ptrdiff_t>(n)});
    return v;
}

}  // namespace veltrix::buffer
