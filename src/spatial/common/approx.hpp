// When the density recursion may replace a whole internal node by a two-point estimate.
#pragma once

#include <optional>
#include <string_view>

#include "array/ndarray.hpp"

namespace veltrix {

struct ApproxCriterion {
    enum class Kind : unsigned char { None, MinSamples, MaxSpan, Combined };

    Kind kind = Kind::None;
    u64 min_samples = 0;
    f64 max_span = 0.0;

    static ApproxCriterion none() noexcept { return {}; }
    static ApproxCriterion with_min_samples(u64 m) noexcept { return {Kind::MinSamples, m, 0.0}; }
    static ApproxCriterion with_max_span(f64 s) noexcept { return {Kind::MaxSpan, 0, s}; }
    static ApproxCriterion combined(u64 m, f64 s) noexcept { return {Kind::Combined, m, s}; }

    // `span` is only evaluated when the criterion looks at it.
    template <class SpanFn>
    bool approximates(u64 count, SpanFn&& span) const {
        switch (kind) {
            case Kind::None: return false;
            case Kind::MinSamples: return count >= min_samples;
            case Kind::MaxSpan: return max_span >= span();
            case Kind::Combined: return count >= min_samples && max_span >= span();
        }
        return false;
    }
};

// Matched against text the caller has already lower-cased.
std::optional<ApproxCriterion::Kind> criterion_from_name(std::string_view lowered) noexcept;

}  // namespace veltrix
