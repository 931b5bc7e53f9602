#include "ops/elementwise.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "ops/buffer.hpp"
#include "ops/isa.hpp"
#include "ops/vmath.hpp"

namespace veltrix {

namespace {

// Arithmetic and sign-bit kernels are compiled per instruction set (up to AVX2: the loops are
// bound by memory, eight lanes add nothing). Each element still gets the same single IEEE
// operation, only more of them per instruction, so the results do not depend on the copy taken.
template <class F>
Storage<f64> generate(u64 n, const F& f) {
    return dispatch_best([&]<Isa>() { return buffer::generate<f64>(n, f); }, Isa::avx2);
}

// a.map(f) without the zero-fill, for the wide kernels.
template <class F>
Array64 map_elements(const Array64& a, F f) {
    const f64* x = a.data.data();
    return Array64(a.shape, generate(a.data.size(), [x, f](std::ptrdiff_t i) { return f(x[i]); }));
}

// The same for C library calls, which gain nothing from a wider build.
template <class F>
Array64 map_calls(const Array64& a, F f) {
    const f64* x = a.data.data();
    return Array64(a.shape, buffer::generate<f64>(a.data.size(), [x, f](std::ptrdiff_t i) { return f(x[i]); }));
}

// exp and log through the vector replicas of the C library's functions, which give its bits
// (ops/vmath.hpp), straight into the result.
template <void (*F)(const f64*, f64*, std::size_t) noexcept>
Array64 map_vmath(const Array64& a) {
    const std::size_t n = a.data.size();
    Storage<f64> out = uninitialized<f64>(n);
    F(a.data.data(), out.data(), n);
    return Array64(a.shape, std::move(out));
}

struct Add {
    f64 operator()(f64 x, f64 y) const noexcept { return x + y; }
};
struct Subtract {
    f64 operator()(f64 x, f64 y) const noexcept { return x - y; }
};
struct Multiply {
    f64 operator()(f64 x, f64 y) const noexcept { return x * y; }
};
struct Divide {
    f64 operator()(f64 x, f64 y) const noexcept { return x / y; }
};

// Calls f with the functor of `op`, so each kernel is instantiated once per operation.
template <class F>
decltype(auto) with_op(BinaryOp op, F&& f) {
    switch (op) {
        case BinaryOp::add: return f(Add{});
        case BinaryOp::subtract: return f(Subtract{});
        case BinaryOp::multiply: return f(Multiply{});
        case BinaryOp::divide: break;
    }
    return f(Divide{});
}

// One output row of a broadcast: each operand advances by 1 or stays put (stride 0).
// Hoisting a stretched operand out of the loop reads the same value, so results are unchanged.
template <class Op>
void broadcast_row(const f64* a, u64 sa, const f64* b, u64 sb, f64* out, u64 n, Op op) {
    if (sa && sb) {
        for (u64 j = 0; j < n; ++j) out[j] = op(a[j], b[j]);
    } else if (sa) {
        const f64 y = *b;
        for (u64 j = 0; j < n; ++j) out[j] = op(a[j], y);
    } else if (sb) {
        const f64 x = *a;
        for (u64 j = 0; j < n; ++j) out[j] = op(x, b[j]);
    } else {
        const f64 v = op(*a, *b);
        for (u64 j = 0; j < n; ++j) out[j] = v;
    }
}

// The broadcast walk reduced to as few dimensions as possible: lengths of the output and, per
// output dimension, each operand's step in elements (0 where it is stretched or absent).
struct BroadcastPlan {
    std::vector<u64> len, sa, sb;
};

BroadcastPlan plan_broadcast(const Shape& out, const Shape& a, const std::vector<u64>& a_strides,
                             const Shape& b, const std::vector<u64>& b_strides) {
    const std::size_t n = out.rank();
    BroadcastPlan p;
    for (std::size_t d = 0; d < n; ++d) {
        if (out[d] == 1) continue;  // contributes nothing to any offset
        const std::size_t lead_a = n - a.rank(), lead_b = n - b.rank();
        const u64 sa = (d < lead_a || a[d - lead_a] == 1) ? 0 : a_strides[d - lead_a];
        const u64 sb = (d < lead_b || b[d - lead_b] == 1) ? 0 : b_strides[d - lead_b];
        // Merge into the previous dimension when both operands walk the two as one.
        if (!p.len.empty() && p.sa.back() == sa * out[d] && p.sb.back() == sb * out[d]) {
            p.len.back() *= out[d];
            p.sa.back() = sa;
            p.sb.back() = sb;
            continue;
        }
        p.len.push_back(out[d]);
        p.sa.push_back(sa);
        p.sb.push_back(sb);
    }
    if (p.len.empty()) {  // a single element
        p.len.push_back(1);
        p.sa.push_back(0);
        p.sb.push_back(0);
    }
    return p;
}

template <class Op>
void broadcast_loop(const BroadcastPlan& p, const f64* a, const f64* b, f64* out, u64 count,
                    Op op) {
    const std::size_t r = p.len.size();
    const u64 inner = p.len[r - 1];
    const u64 ia = p.sa[r - 1], ib = p.sb[r - 1];
    // Row-major strides of a broadcast operand's innermost non-unit dimension are 0 or 1.
    if (ia > 1 || ib > 1) VELTRIX_FAIL("broadcast row stride is neither 0 nor 1");
    std::vector<u64> idx(r - 1, 0);
    u64 oa = 0, ob = 0;
    const u64 rows = count / inner;
    for (u64 row = 0; row < rows; ++row) {
        broadcast_row(a + oa, ia, b + ob, ib, out + row * inner, inner, op);
        // Odometer over the outer dimensions, once per row.
        for (std::size_t d = r - 1; d-- > 0;) {
            oa += p.sa[d];
            ob += p.sb[d];
            if (++idx[d] < p.len[d]) break;
            oa -= p.sa[d] * p.len[d];
            ob -= p.sb[d] * p.len[d];
            idx[d] = 0;
        }
    }
}

}  // namespace

Array64 binary_op_copy(const Array64& a, const Array64& b, BinaryOp op) {
    if (a.shape == b.shape) {
        const f64* x = a.data.data();
        const f64* y = b.data.data();
        return with_op(op, [&](auto f) {
            return Array64(a.shape, generate(a.data.size(), [x, y, f](std::ptrdiff_t i) { return f(x[i], y[i]); }));
        });
    }
    std::optional<Shape> shape = Shape::broadcast(a.shape, b.shape);
    if (!shape) VELTRIX_FAIL("Shapes are not broadcast-compatible");
    // Stretching can make the result far larger than either operand.
    Result<u64> count = checked_size(*shape);
    if (!count) VELTRIX_FAIL("capacity overflow");
    const u64 n = count.value();
    Storage<f64> out = buffer::reserve<f64>(n);
    out.resize(n);
    if (n != 0) {
        const BroadcastPlan plan = plan_broadcast(*shape, a.shape, a.strides, b.shape, b.strides);
        with_op(op, [&](auto f) {
            dispatch_best([&]<Isa>() { broadcast_loop(plan, a.data.data(), b.data.data(), out.data(), n, f); },
                          Isa::avx2);
        });
    }
    return Array64(std::move(*shape), std::move(out));
}

Array64 scalar_op_copy(const Array64& a, f64 s, BinaryOp op) {
    return with_op(op, [&](auto f) { return map_elements(a, [s, f](f64 x) { return f(x, s); }); });
}

Array64 scalar_left_op_copy(f64 s, const Array64& a, BinaryOp op) {
    return with_op(op, [&](auto f) { return map_elements(a, [s, f](f64 x) { return f(s, x); }); });
}

Array64 transform(const Array64& a, Transform t) {
    // The C library's functions, called one element at a time; sqrt is correctly rounded.
    switch (t) {
        case Transform::negate: return map_elements(a, [](f64 x) { return elem::negate(x); });
        case Transform::abs: return map_elements(a, [](f64 x) { return elem::abs(x); });
        case Transform::exp: return map_vmath<vmath::exp>(a);
        case Transform::log: return map_vmath<vmath::log>(a);
        case Transform::sqrt: return map_elements(a, [](f64 x) { return std::sqrt(x); });
        case Transform::sin: return map_calls(a, [](f64 x) { return std::sin(x); });
        case Transform::cos: return map_calls(a, [](f64 x) { return std::cos(x); });
        case Transform::tan: return map_calls(a, [](f64 x) { return std::tan(x); });
        case Transform::arcsin: return map_calls(a, [](f64 x) { return std::asin(x); });
        case Transform::arccos: return map_calls(a, [](f64 x) { return std::acos(x); });
        case Transform::arctan: return map_calls(a, [](f64 x) { return std::atan(x); });
        case Transform::sign: return map_elements(a, [](f64 x) { return elem::sign(x); });
    }
    VELTRIX_FAIL("unknown element-wise transform");
}

Array64 clip(const Array64& a, f64 lo, f64 hi) {
    return map_elements(a, [lo, hi](f64 x) { return elem::clip(x, lo, hi); });
}

}  // namespace veltrix
