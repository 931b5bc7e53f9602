// Shared array-filling loop of the generator's operations.
#pragma once

#include <utility>
#include <vector>

#include "array/ndarray.hpp"
#include "random/generator.hpp"

namespace veltrix::detail {

// Element count of `shape` for elements of `elem_size` bytes. Callers reach this
// only after their parameter checks, and nothing has been drawn yet.
inline u64 sample_count(const Shape& shape, std::size_t elem_size) {
    Result<u64> n = checked_size(shape, elem_size);
    if (!n) VELTRIX_FAIL(n.error());
    return n.value();
}

// n = |shape| values of draw(generator), element 0 first. The state is worked on in
// a local copy so that stores into the buffer cannot force it out of registers.
template <class T, class Draw>
NdArray<T> fill(Generator& gen, Shape shape, Draw&& draw) {
    const u64 n = sample_count(shape, sizeof(T));
    std::vector<T> out(n);
    Generator g = gen;
    T* p = out.data();
    for (u64 i = 0; i < n; ++i) p[i] = draw(g);
    gen = g;
    return NdArray<T>(std::move(shape), std::move(out));
}

}  // namespace veltrix::detail
