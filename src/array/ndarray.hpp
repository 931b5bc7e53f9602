// The one storage type of the library: an owned, dense, row-major n-d array.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array/error.hpp"
#include "array/storage.hpp"

namespace veltrix {

using f64 = double;
using i64 = std::int64_t;
using u64 = std::uint64_t;

struct Shape {
    std::vector<u64> dims;

    Shape() = default;
    explicit Shape(std::vector<u64> d) : dims(std::move(d)) {}
    Shape(std::initializer_list<u64> d) : dims(d) {}

    static Shape d1(u64 n) { return Shape{n}; }
    static Shape d2(u64 r, u64 c) { return Shape{r, c}; }

    std::size_t rank() const noexcept { return dims.size(); }
    u64 operator[](std::size_t i) const noexcept { return dims[i]; }
    bool operator==(const Shape& o) const noexcept { return dims == o.dims; }

    // Wrapping product, 1 for rank 0. Only meaningful once the shape passed checked_size().
    u64 size() const noexcept {
        u64 n = 1;
        for (u64 d : dims) n *= d;
        return n;
    }

    std::vector<u64> strides_row_major() const {
        std::vector<u64> s(dims.size(), 1);
        for (std::size_t i = dims.size(); i-- > 1;) s[i - 1] = dims[i] * s[i];
        return s;
    }

    // Broadcast shape of two shapes, nothing when incompatible.
    static std::optional<Shape> broadcast(const Shape& a, const Shape& b);

    std::string to_string() const;
};

// Element count of a shape whose buffer of `elem_size`-byte elements is addressable,
// or the message refusing it. A shape whose true product does not fit is never
// paired with a smaller buffer.
Result<u64> checked_size(const Shape& shape, std::size_t elem_size = sizeof(f64));

template <class T>
struct NdArray {
    Shape shape;
    std::vector<u64> strides;
    Storage<T> data;

    NdArray() : shape(), strides(), data(1) {}

    // Copies take the elements by one memcpy (see copy_of).
    NdArray(const NdArray& o) : shape(o.shape), strides(o.strides), data(copy_of(o.data.data(), o.data.size())) {}
    NdArray(NdArray&&) noexcept = default;
    NdArray& operator=(const NdArray& o) {
        if (this != &o) *this = NdArray(o);
        return *this;
    }
    NdArray& operator=(NdArray&&) noexcept = default;

    NdArray(Shape s, Storage<T> d) : shape(std::move(s)), data(std::move(d)) {
        const u64 n = shape.size();
        if (n != data.size())
            fail_assert_eq("Storage length " + std::to_string(data.size()) +
                               " doesn't match shape size " + std::to_string(n),
                           n, data.size(), __FILE__, __LINE__);
        strides = shape.strides_row_major();
    }

    static NdArray zeros(Shape s) {
        const u64 n = s.size();
        return NdArray(std::move(s), Storage<T>(n));
    }

    std::size_t ndim() const noexcept { return shape.rank(); }
    u64 size() const noexcept { return data.size(); }

    // Multi-index lookup; nullptr when the index list does not fit.
    const T* get(const std::vector<u64>& idx) const noexcept {
        const std::optional<u64> off = offset_of(idx);
        return off ? &data[*off] : nullptr;
    }
    T* get_mut(const std::vector<u64>& idx) noexcept {
        const std::optional<u64> off = offset_of(idx);
        return off ? &data[*off] : nullptr;
    }

    std::optional<u64> offset_of(const std::vector<u64>& idx) const noexcept {
        if (idx.size() != shape.rank()) return std::nullopt;
        u64 off = 0;
        for (std::size_t d = 0; d < idx.size(); ++d) {
            if (idx[d] >= shape.dims[d]) return std::nullopt;
            off += idx[d] * strides[d];
        }
        if (off >= data.size()) return std::nullopt;
        return off;
    }

    // Elements at flat positions; every position must lie inside the data.
    NdArray take(const std::vector<u64>& idx) const {
        Storage<T> out(idx.size());
        for (std::size_t i = 0; i < idx.size(); ++i) {
            if (idx[i] >= data.size())
                VELTRIX_FAIL("take index " + std::to_string(idx[i]) + " is out of bounds for size " +
                             std::to_string(data.size()));
            out[i] = data[idx[i]];
        }
        return NdArray(Shape::d1(idx.size()), std::move(out));
    }

    const T& item() const {
        if (data.size() != 1)
            VELTRIX_FAIL("item() can only be called on arrays with exactly one element, got " +
                         std::to_string(data.size()) + " elements");
        return data[0];
    }

    NdArray clone() const { return *this; }

    template <class F>
    auto map(F&& f) const -> NdArray<decltype(f(std::declval<const T&>()))> {
        using U = decltype(f(std::declval<const T&>()));
        Storage<U> out(data.size());
        const T* src = data.data();
        U* dst = out.data();
        const std::size_t n = data.size();
        for (std::size_t i = 0; i < n; ++i) dst[i] = f(src[i]);
        return NdArray<U>(shape, std::move(out));
    }
};

using Array64 = NdArray<f64>;

// The shortest decimal that reads back as the same double ("0.1", "1e-05", "NaN", "-inf").
void append_shortest(std::string& out, double x);
// "Array(shape=[2, 3], data=[...])": every element, each in its shortest form.
std::string repr(const Array64& a);

}  // namespace veltrix
