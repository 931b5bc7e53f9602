#include "spatial/vp_tree/vp_tree.hpp"

#include "spatial/common/pairs.hpp"

#include "random/generator.hpp"

namespace veltrix {

template class SpatialTree<VpPolicy>;
VELTRIX_PAIR_SEARCHES(, VpPolicy)

std::optional<VantageSelection> selection_from_name(std::string_view s) noexcept {
    if (s == "first") return VantageSelection::First;
    if (s == "random") return VantageSelection::Random;
    return std::nullopt;
}

u64 random_vantage(u64 start, u64 end) {
    // One draw reduced by plain remainder, as randint(start, end) draws it, without the array.
    Generator g = Generator::from_clock();
    return start + g.next_u64() % (end - start);
}

}  // namespace veltrix
