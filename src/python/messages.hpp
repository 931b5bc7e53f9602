// User-visible message texts of the binding layer, kept in one place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltrix::py::msg {

// Argument lists, in the interpreter's own wording; `fn` is "Class.method()" or "function()".
inline std::string missing_arguments(const std::string& fn, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) list += (i + 1 == names.size()) ? (names.size() == 2 ? " and " : ", and ") : ", ";
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return fn + " missing " + std::to_string(names.size()) + " required positional " +
           (names.size() == 1 ? "argument" : "arguments") + ": " + list;
}
inline std::string too_many_positional(const std::string& fn, std::size_t min, std::size_t max, std::size_t given) {
    std::string m = fn + " takes ";
    m += min == max ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
    return m + " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
// PyErr_Format patterns: the qualified name, then the keyword (an object) or the parameter.
inline constexpr const char* unexpected_keyword = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s got multiple values for argument '%s'";
inline std::string argument_error(const char* name, const char* message) {
    return std::string("argument '") + name + "': " + message;
}
inline constexpr const char* str_failed = "<exception str() failed>";

inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
inline constexpr const char* str_to_vec = "Can't extract `str` to `Vec`";

inline std::string cannot_cast(const std::string& type, const char* target) {
    return "'" + type + "' object cannot be cast as '" + target + "'";
}

inline std::string data_length_mismatch(std::size_t len, const std::string& shape, unsigned long long count) {
    return "Data length " + std::to_string(len) + " doesn't match shape " + shape + " (expected " +
           std::to_string(count) + ")";
}

inline constexpr const char* need_one_array = "Need at least one array";

// Indexing, iteration and NumPy exchange.
inline std::string too_many_indices(std::size_t ndim, std::size_t m) {
    return "too many indices for array: array is " + std::to_string(ndim) + "-dimensional, but " +
           std::to_string(m) + " were indexed";
}

inline std::string index_out_of_axis(std::int64_t index, std::size_t axis, std::uint64_t size) {
    return "index " + std::to_string(index) + " is out of bounds for axis " + std::to_string(axis) +
           " with size " + std::to_string(size);
}

inline std::string set_item_count(std::size_t ndim, std::size_t m) {
    return "cannot set item: expected " + std::to_string(ndim) + " indices, got " + std::to_string(m);
}

inline std::string take_out_of_bounds(std::uint64_t position, std::uint64_t size) {
    return "take index " + std::to_string(position) + " is out of bounds for an array of " +
           std::to_string(size) + " elements";
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

// Spatial trees: option names, criterion parameters, query forms.
inline std::string unknown_metric(const std::string& s) {
    return "Unknown distance metric '" + s + "'. Valid options: 'euclidean', 'manhattan', 'chebyshev'";
}
inline std::string unknown_kernel(const std::string& s) {
    return "Unknown kernel type '" + s +
           "'. Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'";
}
inline std::string unknown_selection(const std::string& s) {
    return "Unknown vantage point selection method '" + s + "'. Valid options: 'first', 'random'";
}
inline std::string unknown_criterion(const std::string& s) {
    return "Unknown approximation criterion '" + s +
           "'. Valid options: 'none', 'min_samples', 'max_span', 'combined'";
}
inline std::string parameter_required(const char* param, const char* criterion) {
    return std::string(param) + " parameter required for '" + criterion + "' criterion";
}
inline std::string query_length(std::uint64_t len, std::uint64_t dim) {
    return "Query vector length " + std::to_string(len) + " doesn't match tree dimension " + std::to_string(dim);
}
inline std::string query_dimension(std::uint64_t m, std::uint64_t dim) {
    return "Query dimension " + std::to_string(m) + " doesn't match tree dimension " + std::to_string(dim);
}
inline constexpr const char* bad_query = "query must be a scalar, list, or Array";
inline constexpr const char* bad_queries = "queries must be a scalar, list, or Array";
inline constexpr const char* queries_rank = "queries must be 1D or 2D array";

}  // namespace veltrix::py::msg
