// Shared array-filling loop of the generator's operations.
#pragma once

#include <utility>
#include <vector>

#include "array/cancel.hpp"
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

// Elements drawn between two polls of a cancellation (cancel.hpp): well under a millisecond.
inline constexpr u64 poll_block = u64{1} << 16;

// n = |shape| values of draw(generator), element 0 first. The state is worked on in
// a local copy so that stores into the buffer cannot force it out of registers; it is
// committed only after the last value, so a cancelled draw leaves the generator as it was.
template <class T, class Draw>
NdArray<T> fill(Generator& gen, Shape shape, Draw&& draw) {
    const u64 n = sample_count(shape, sizeof(T));
    Storage<T> out(n);
    Generator g = gen;
    T* p = out.data();
    for (u64 first = 0; first < n; first += poll_block) {
        cancel::check();
        const u64 last = n - first < poll_block ? n : first + poll_block;
        for (u64 i = first; i < last; ++i) p[i] = draw(g);
    }
    gen = g;
    return NdArray<T>(std::move(shape), std::move(out));
}

}  // namespace veltrix::detail
