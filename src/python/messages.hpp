// User-visible message texts of the binding layer, kept in one place.
#pragma once

#include <string>

namespace veltrix::py::msg {

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

}  // namespace veltrix::py::msg
