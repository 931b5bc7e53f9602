#include "spatial/ball_tree/ball_tree.hpp"

#include "spatial/common/pairs.hpp"

namespace veltrix {
template class SpatialTree<BallPolicy>;
VELTRIX_PAIR_SEARCHES(, BallPolicy)
}  // namespace veltrix
