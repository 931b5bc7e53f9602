#include "spatial/kd_tree/kd_tree.hpp"

#include "spatial/common/pairs.hpp"

namespace veltrix {
template class SpatialTree<KdPolicy>;
VELTRIX_PAIR_SEARCHES(, KdPolicy)
}  // namespace veltrix
