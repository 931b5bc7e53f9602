// What the native checks share: the count of failed expectations and the report of each.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "array/ndarray.hpp"

namespace veltrix::check {

inline int failures = 0;

inline void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL %s\n", what.c_str());
    }
}

inline bool same_bits(f64 a, f64 b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// An array over a copy of v, for checks that build their inputs in plain vectors.
inline Array64 array_of(Shape shape, const std::vector<f64>& v) {
    return Array64(std::move(shape), Storage<f64>(v.begin(), v.end()));
}

}  // namespace veltrix::check
