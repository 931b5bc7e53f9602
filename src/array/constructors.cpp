#include "array/constructors.hpp"

#include "array/linalg.hpp"

namespace veltrix {

Array64 full(Shape shape, f64 value) {
    const u64 n = shape.size();
    return Array64(std::move(shape), Storage<f64>(n, value));
}

Array64 ones(Shape shape) { return full(std::move(shape), 1.0); }

Array64 eye(u64 n, std::optional<u64> m_opt, i64 k) {
    const u64 m = m_opt.value_or(n);
    Array64 out = Array64::zeros(Shape::d2(n, m));
    // The magnitude of k as unsigned, so the most negative offset is handled too.
    const u64 mag = k < 0 ? u64(0) - static_cast<u64>(k) : static_cast<u64>(k);
    u64 row = k < 0 ? mag : 0;
    u64 col = k < 0 ? 0 : mag;
    while (row < n && col < m) {
        out.data[row * m + col] = 1.0;
        ++row;
        ++col;
    }
    return out;
}

Array64 column_stack(const std::vector<Array64>& arrays) {
    if (arrays.empty()) VELTRIX_FAIL("Need at least one array");
    struct Block {
        const Array64* a;
        u64 rows, cols;
    };
    std::vector<Block> blocks;
    blocks.reserve(arrays.size());
    for (const Array64& a : arrays) {
        if (a.ndim() == 1)
            blocks.push_back({&a, a.shape[0], 1});
        else if (a.ndim() == 2)
            blocks.push_back({&a, a.shape[0], a.shape[1]});
        else
            VELTRIX_FAIL("column_stack only supports 1D and 2D arrays");
    }
    const u64 rows = blocks[0].rows;
    u64 cols = 0;
    for (const Block& b : blocks) {
        VELTRIX_ASSERT_EQ(b.rows, rows, "All arrays must have the same number of rows");
        cols += b.cols;
    }
    Storage<f64> data;
    data.reserve(rows * cols);
    for (u64 r = 0; r < rows; ++r)
        for (const Block& b : blocks) {
            const f64* src = b.a->data.data() + r * b.cols;
            data.insert(data.end(), src, src + b.cols);
        }
    return Array64(Shape::d2(rows, cols), std::move(data));
}

namespace {

std::string dims_text(const std::vector<i64>& dims) {
    std::string s = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(dims[i]);
    }
    return s + "]";
}

}  // namespace

Result<Array64> reshape(const Array64& a, const std::vector<i64>& dims) {
    const u64 size = a.data.size();
    std::optional<std::size_t> unknown;
    u64 known = 1;  // product of the given lengths
    bool wrapped = false;
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (dims[i] == -1) {
            if (unknown) return Error{"can only specify one unknown dimension"};
            unknown = i;
        } else if (dims[i] < 0) {
            return Error{"negative dimensions not allowed"};
        } else {
            wrapped |= __builtin_mul_overflow(known, static_cast<u64>(dims[i]), &known);
        }
    }
    // A zero length makes the product exactly zero, whatever wrapped before it.
    for (i64 d : dims)
        if (d == 0) wrapped = false;
    const std::string prefix =
        "cannot reshape array of size " + std::to_string(size) + " into shape " + dims_text(dims);
    std::vector<u64> out(dims.size());
    for (std::size_t i = 0; i < dims.size(); ++i) out[i] = static_cast<u64>(dims[i]);
    if (unknown) {
        // With no element given, the missing length is undetermined.
        if (wrapped || known == 0 || size % known != 0) return Error{prefix};
        out[*unknown] = size / known;
    } else if (wrapped || known != size) {
        return Error{prefix + " of size " +
                     (wrapped ? std::string("above 2^64") : std::to_string(known))};
    }
    return Array64(Shape(std::move(out)), a.data);
}

Array64 reverse_axes(const Array64& a) {
    const std::size_t rank = a.ndim();
    if (rank == 2) return transpose(a);
    if (rank < 2 || a.data.empty()) {
        std::vector<u64> dims(a.shape.dims.rbegin(), a.shape.dims.rend());
        return Array64(Shape(std::move(dims)), a.data);
    }
    // Walk the result in row-major order; result axis j is source axis rank-1-j.
    std::vector<u64> dims(rank), step(rank), idx(rank, 0);
    for (std::size_t j = 0; j < rank; ++j) {
        dims[j] = a.shape[rank - 1 - j];
        step[j] = a.strides[rank - 1 - j];
    }
    Storage<f64> out(a.data.size());
    u64 src = 0;
    for (f64& v : out) {
        v = a.data[src];
        for (std::size_t j = rank; j-- > 0;) {
            src += step[j];
            if (++idx[j] < dims[j]) break;
            src -= step[j] * dims[j];
            idx[j] = 0;
        }
    }
    return Array64(Shape(std::move(dims)), std::move(out));
}

}  // namespace veltrix
