// User-visible message texts of the core, kept in one place. Each is returned as an orderly
// error (raised as ValueError) or carried by an internal error, unchanged.
#pragma once

namespace veltrix::msg {

// Spatial trees.
inline constexpr const char* leaf_size_zero = "leaf_size must be at least 1";
inline constexpr const char* nan_points = "Points must not contain NaN coordinates";
inline constexpr const char* bandwidth = "bandwidth must be positive";
inline constexpr const char* points_rank = "Expected 2D array (n_points, dim)";
inline constexpr const char* queries_rank = "Expected 2D array (n_queries, dim)";
inline constexpr const char* query_dimension = "Query dimension must match tree dimension";
inline constexpr const char* k_too_large = "k must not exceed the number of points";

}  // namespace veltrix::msg
