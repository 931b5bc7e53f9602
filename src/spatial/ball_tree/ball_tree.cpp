#include "spatial/ball_tree/ball_tree.hpp"

namespace veltrix {
template class SpatialTree<BallPolicy>;
}  // namespace veltrix
