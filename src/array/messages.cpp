#include "array/messages.hpp"

// Out of line: every tree's unit builds these texts, and one copy serves them all.
namespace veltrix::msg {

std::string too_many_points(std::uint64_t n, std::uint64_t limit) {
    return "points has " + std::to_string(n) + " rows, more than one tree holds (" + std::to_string(limit) +
           " at this leaf_size); split larger sets over several trees, e.g. with veltrix_dask";
}

std::string nonfinite_periodic_points(std::uint64_t row) {
    return "points must be finite in a periodic box, but row " + std::to_string(row) + " is not";
}

}  // namespace veltrix::msg
