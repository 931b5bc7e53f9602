// User-visible message texts of the binding layer, kept in one place.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace veltrix::py::msg {

// The parts written one after another, numbers in decimal.
template <class... P>
std::string cat(const P&... parts) {
    std::string out;
    ((out += [](const auto& p) {
         if constexpr (std::is_arithmetic_v<std::remove_cvref_t<decltype(p)>>) return std::to_string(p);
         else return std::string(p);
     }(parts)),
     ...);
    return out;
}

// Argument lists, in the interpreter's own wording; `fn` is "Class.method()" or "function()".
inline std::string missing_arguments(const std::string& fn, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) list += (i + 1 == names.size()) ? (names.size() == 2 ? " and " : ", and ") : ", ";
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return cat(fn, " missing ", names.size(), " required positional ", names.size() == 1 ? "argument" : "arguments",
               ": ", list);
}
inline std::string too_many_positional(const std::string& fn, std::size_t min, std::size_t max, std::size_t given) {
    std::string m = fn + " takes ";
    m += min == max ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
    return m + " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
// PyErr_Format patterns: the qualified name, then the keyword (an object) or the parameter.
inline constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s got multiple values for argument '%s'";
inline std::string argument_error(const char* name, const std::string& message) {
    return cat("argument '", name, "': ", message);
}
inline constexpr const char* str_failed = "<exception str() failed>";

// Failures of the frame itself.
inline constexpr const char* no_exception_set = "attempted to fetch exception but none was set";
inline constexpr const char* unknown_internal_error = "unknown internal error";
// fprintf pattern of the standard-error line: thread, source file, line, message.
inline constexpr const char* internal_error_report = "veltrix: internal error in thread %lu at %s:%d: %s\n";
inline constexpr const char* sub_interpreter =
    "veltrix does not support sub-interpreters: it can only be imported into the main interpreter "
    "of a process";
inline constexpr const char* unknown_error = "unknown error";

// "{type}: {message}" of one exception, and a cause chain of them.
inline std::string exception_line(const std::string& type, const std::string& message) { return type + ": " + message; }
inline std::string cause_chain(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? ", caused by " : "") + lines[i];
    return out;
}

// The tagged argument forms (VecOrArray, ArrayOrScalar), when neither alternative converts.
inline std::string field_error(const char* enum_name, const char* variant) {
    return cat("failed to extract field ", enum_name, "::", variant, ".0");
}
inline std::string combined_error(const char* enum_name, const char* v1, const std::string& e1, const char* v2,
                                  const std::string& e2) {
    return cat("failed to extract enum ", enum_name, " ('", v1, " | ", v2, "')\n- variant ", v1, " (", v1, "): ", e1,
               "\n- variant ", v2, " (", v2, "): ", e2);
}

inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
inline constexpr const char* str_to_vec = "Can't extract `str` to `Vec`";

inline std::string cannot_cast(const std::string& type, const char* target) {
    return cat("'", type, "' object cannot be cast as '", target, "'");
}

inline std::string data_length_mismatch(std::size_t len, const std::string& shape, unsigned long long count) {
    return cat("Data length ", len, " doesn't match shape ", shape, " (expected ", count, ")");
}

inline std::string dim_out_of_range(std::uint64_t dim, std::size_t ndim) {
    return cat("dim ", dim, " is out of range for an array with ", ndim, " dimensions");
}
inline std::string offset_out_of_range(std::uint64_t offset, std::uint64_t dim, const std::string& shape) {
    return cat("offset ", offset, " is out of range for dim ", dim, " of an array of shape ", shape);
}

inline constexpr const char* need_one_array = "Need at least one array";
inline constexpr const char* diagonal_needs_matrix = "diagonal requires a 2D array";

// Indexing, iteration and NumPy exchange.
inline std::string too_many_indices(std::size_t ndim, std::size_t m) {
    return cat("too many indices for array: array is ", ndim, "-dimensional, but ", m, " were indexed");
}
inline std::string index_out_of_axis(std::int64_t index, std::size_t axis, std::uint64_t size) {
    return cat("index ", index, " is out of bounds for axis ", axis, " with size ", size);
}
inline std::string set_item_count(std::size_t ndim, std::size_t m) {
    return cat("cannot set item: expected ", ndim, " indices, got ", m);
}
inline std::string take_out_of_bounds(std::uint64_t position, std::uint64_t size) {
    return cat("take index ", position, " is out of bounds for an array of ", size, " elements");
}

inline constexpr const char* position_out_of_bounds = "index out of bounds";
inline constexpr const char* get_out_of_bounds = "Index out of bounds";
inline constexpr const char* bad_index_kind = "indices must be integers, slices, or tuples of integers";
inline constexpr const char* bad_assignment_kind =
    "indices must be integers or tuples of integers for assignment";
inline constexpr const char* single_index_assignment =
    "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays";
inline constexpr const char* cannot_delete = "can't delete item";

inline constexpr const char* not_contiguous = "The given array is not contiguous";
inline constexpr const char* numpy_unavailable = "Failed to access NumPy array API capsule";
inline constexpr const char* not_a_capsule = "_ARRAY_API is not a capsule";

// Spatial trees: option names, criterion parameters, query forms.
inline std::string unknown_metric(const std::string& s) {
    return cat("Unknown distance metric '", s, "'. Valid options: 'euclidean', 'manhattan', 'chebyshev'");
}
inline std::string unknown_kernel(const std::string& s) {
    return cat("Unknown kernel type '", s, "'. Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'");
}
inline std::string unknown_selection(const std::string& s) {
    return cat("Unknown vantage point selection method '", s, "'. Valid options: 'first', 'random'");
}
inline std::string unknown_criterion(const std::string& s) {
    return cat("Unknown approximation criterion '", s,
               "'. Valid options: 'none', 'min_samples', 'max_span', 'combined'");
}
inline std::string parameter_required(const char* param, const char* criterion) {
    return cat(param, " parameter required for '", criterion, "' criterion");
}
inline std::string query_length(std::uint64_t len, std::uint64_t dim) {
    return cat("Query vector length ", len, " doesn't match tree dimension ", dim);
}
inline std::string query_dimension(std::uint64_t m, std::uint64_t dim) {
    return cat("Query dimension ", m, " doesn't match tree dimension ", dim);
}
inline constexpr const char* bad_query = "query must be a scalar, list, or Array";
inline constexpr const char* bad_queries = "queries must be a scalar, list, or Array";
inline constexpr const char* queries_rank = "queries must be 1D or 2D array";

// Pickled states and the NumPy array protocol.
inline constexpr const char* array_state_shape = "Invalid Array state: shape must be a tuple of non-negative integers";
inline constexpr const char* array_state_data = "Invalid Array state: data must be a bytes-like object";
inline std::string array_state_length(long long len, const std::string& shape, unsigned long long expected) {
    return cat("Invalid Array state: ", len, " data bytes for shape ", shape, " (expected ", expected, ")");
}
inline constexpr const char* generator_state_words =
    "Invalid Generator state: each of the four state words must be an integer in [0, 2**64)";
inline constexpr const char* tree_state_type = "Invalid tree state: it must be a bytes-like object";
inline constexpr const char* copy_false =
    "An Array never shares its data: converting it to a NumPy array always copies, so copy=False cannot be honoured";

// Batch queries of the trees (query, query_ball_point, density); each names its parameter.
inline constexpr const char* batch_needs_numpy = "veltrix batch queries need NumPy";
inline constexpr const char* queries_nan = "queries must not contain NaN";
inline std::string k_negative(std::int64_t k) { return cat("k must not be negative, got ", k); }
inline std::string k_too_large(std::uint64_t k, std::uint64_t n) {
    return cat("k is ", k, " but the tree holds only ", n, " points");
}
inline std::string bad_workers(std::int64_t w) { return cat("workers must be -1 or at least 1, got ", w); }
inline std::string batch_width(std::uint64_t len, std::uint64_t dim) {
    return cat("X rows have ", len, " coordinates but the tree's dimension is ", dim);
}
inline std::string batch_rank(const char* name, std::uint64_t ndim) {
    return cat(name, " must have one or two dimensions, not ", ndim);
}
inline std::string rows_ragged(const char* name) { return cat(name, " rows must all have the same length"); }
inline std::string points_rank(std::uint64_t ndim) {
    return cat("points must have two dimensions (n_points, dim), not ", ndim);
}
inline std::string boxsize_count(std::uint64_t got, std::uint64_t dim) {
    return cat("boxsize must be one length or one per dimension: got ", got, " for dimension ", dim);
}
inline constexpr const char* boxsize_invalid = "boxsize lengths must be positive and finite";
inline constexpr const char* distance_upper_bound_invalid = "distance_upper_bound must not be negative or NaN";
inline std::string not_real_dtype(const std::string& dtype) {
    return cat("dtype ", dtype, " does not hold real numbers");
}
inline std::string not_numbers(const std::string& type) {
    return cat("expected an Array, a NumPy array or a sequence of numbers, not ", type);
}
inline constexpr const char* radius_rank = "r must be one radius or one radius per query row";
inline std::string radius_count(std::uint64_t got, std::uint64_t rows) {
    return cat("r holds ", got, " radii for ", rows, " query rows");
}
inline constexpr const char* radius_invalid = "r must not be negative or NaN";

}  // namespace veltrix::py::msg
