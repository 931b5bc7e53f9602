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

// The state's length in bytes, and the state written into `out` of exactly that length.
template <class P>
u64 tree_state_length(const SpatialTree<P>& tree);
template <class P>
void write_tree_state(const SpatialTree<P>& tree, unsigned char* out);

template <class P>
Bytes tree_state(const SpatialTree<P>& tree) {
    Bytes out(tree_state_length(tree));
    write_tree_state(tree, out.data());
    return out;
}

// The kind of tree a state holds, from its header alone.
Result<TreeKind> tree_state_kind(const unsigned char* data, std::size_t size);

// The tree a state describes, or why the state is refused.
template <class P>
Result<SpatialTree<P>> tree_from_state(const unsigned char* data, std::size_t size);

}  // namespace veltrix
