#include "spatial/vp_tree/vp_tree.hpp"

#include "random/generator.hpp"

namespace veltrix {

template class SpatialTree<VpPolicy>;

std::optional<VantageSelection> selection_from_name(std::string_view s) noexcept {
    if (s == "first") return VantageSelection::First;
    if (s == "random") return VantageSelection::Random;
    return std::nullopt;
}

u64 random_vantage(u64 start, u64 end) {
    const NdArray<i64> v =
        Generator::from_clock().randint(static_cast<i64>(start), static_cast<i64>(end), Shape{});
    return static_cast<u64>(v.data[0]);
}

}  // namespace veltrix
