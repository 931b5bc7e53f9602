// User-visible message texts of the core, kept in one place. Each is returned as an orderly
// error (raised as ValueError) or carried by an internal error, unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace veltrix::msg {

// Spatial trees.
inline constexpr const char* leaf_size_zero = "leaf_size must be at least 1";
inline constexpr const char* nan_points = "Points must not contain NaN coordinates";
inline constexpr const char* bandwidth = "bandwidth must be positive";
inline constexpr const char* points_rank = "Expected 2D array (n_points, dim)";
inline constexpr const char* queries_rank = "Expected 2D array (n_queries, dim)";
inline constexpr const char* query_dimension = "Query dimension must match tree dimension";
inline constexpr const char* k_too_large = "k must not exceed the number of points";
std::string too_many_points(std::uint64_t n, std::uint64_t limit);
std::string nonfinite_periodic_points(std::uint64_t row);

// Tree states read back from pickles.
namespace tree_state {
inline constexpr const char* not_state = "Not a tree state";
inline constexpr const char* length = "Tree state has the wrong length";
inline constexpr const char* header = "Tree state header is invalid";
inline constexpr const char* nan = "Tree state holds NaN coordinates";
inline constexpr const char* rows = "Tree state row numbers are not a permutation of the input rows";
inline constexpr const char* nodes = "Tree state node ranges are inconsistent";
inline constexpr const char* radius = "Tree state holds a negative or NaN ball radius";
inline constexpr const char* vantage = "Tree state vantage point lies outside its node";
inline constexpr const char* box = "Tree state holds an invalid periodic box";
inline std::string version(std::uint32_t v) { return "Unsupported tree state version " + std::to_string(v); }
inline std::string kind(const char* found, const char* wanted) {
    return std::string("Tree state holds a ") + found + ", not a " + wanted;
}
}  // namespace tree_state

}  // namespace veltrix::msg
