// Compact, versioned byte states of the spatial trees (what pickling carries): the points in
// tree order, the build parameters and whatever the tree cannot recompute exactly from them.
// Loading checks every byte it reads, so a truncated, altered or foreign state is refused
// with a message and is never read past its end.
#pragma once

#include <cstddef>
#include <vector>

#include "spatial/common/tree.hpp"

namespace veltrix {

enum class TreeKind : unsigned char { KD, Ball, VP };

using Bytes = std::vector<unsigned char>;

template <class P>
Bytes tree_state(const SpatialTree<P>& tree);

// The kind of tree a state holds, from its header alone.
Result<TreeKind> tree_state_kind(const unsigned char* data, std::size_t size);

// The tree a state describes, or why the state is refused.
template <class P>
Result<SpatialTree<P>> tree_from_state(const unsigned char* data, std::size_t size);

}  // namespace veltrix
