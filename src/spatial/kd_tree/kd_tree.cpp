#include "spatial/kd_tree/kd_tree.hpp"

namespace veltrix {
template class SpatialTree<KdPolicy>;
}  // namespace veltrix
