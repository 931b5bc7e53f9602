#include "array/ndarray.hpp"

#include <limits>

namespace veltrix {

std::optional<Shape> Shape::broadcast(const Shape& a, const Shape& b) {
    const std::size_t na = a.rank(), nb = b.rank();
    const std::size_t n = na > nb ? na : nb;
    std::vector<u64> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const u64 da = i < na ? a.dims[na - 1 - i] : 1;
        const u64 db = i < nb ? b.dims[nb - 1 - i] : 1;
        u64 d;
        if (da == db) d = da;
        else if (da == 1) d = db;
        else if (db == 1) d = da;
        else return std::nullopt;
        out[n - 1 - i] = d;
    }
    return Shape(std::move(out));
}

std::string Shape::to_string() const {
    std::string s = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(dims[i]);
    }
    s += "]";
    return s;
}

Result<u64> checked_size(const Shape& shape, std::size_t elem_size) {
    // A zero length anywhere makes the array empty whatever the other lengths are.
    for (u64 d : shape.dims)
        if (d == 0) return u64{0};
    const u64 limit = static_cast<u64>(std::numeric_limits<std::ptrdiff_t>::max()) / elem_size;
    u64 n = 1;
    for (u64 d : shape.dims) {
        if (d > limit / n)
            return Error{"Shape " + shape.to_string() + " is too large: its element count exceeds " +
                         std::to_string(limit)};
        n *= d;
    }
    return n;
}

}  // namespace veltrix
