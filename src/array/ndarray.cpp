#include "array/ndarray.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
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

void append_shortest(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    const double ax = std::fabs(x);
    if (x == 0.0 || (ax >= 1e-4 && ax < 1e16)) {
        auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
        out.append(buf, r.ptr);
        if (!std::memchr(buf, '.', static_cast<std::size_t>(r.ptr - buf))) out += ".0";
        return;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
    out.append(buf, static_cast<std::size_t>(e - buf));
    out += 'e';
    const char* p = e + 1;
    if (*p == '+') ++p;
    else if (*p == '-') out += *p++;
    while (*p == '0' && p + 1 < r.ptr) ++p;
    out.append(p, static_cast<std::size_t>(r.ptr - p));
}

std::string repr(const Array64& a) {
    std::string s = "Array(shape=" + a.shape.to_string() + ", data=[";
    s.reserve(s.size() + a.data.size() * 20 + 2);
    for (std::size_t i = 0; i < a.data.size(); ++i) {
        if (i) s += ", ";
        append_shortest(s, a.data[i]);
    }
    s += "])";
    return s;
}

}  // namespace veltrix
