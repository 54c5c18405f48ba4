// The octree's nodes: breadth-first subdivision of the root cube by key prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "math/vec3.hpp"
#include "octree/bbox.hpp"
#include "octree/node.hpp"

namespace corvane {

// K nodes, one entry per node in each array; node 0 is the root. Nodes are
// numbered breadth first, the children of one parent consecutively in
// increasing octant order, so every child follows its parent.
struct OctreeTopology {
    std::vector<NodeChildren> children;
    std::vector<Vec3> centroids;  // centre of the node's cube
    std::vector<double> sizes;    // edge of the node's cube
    std::vector<SourceRange> source_range;
    std::vector<std::uint8_t> is_leaf;

    std::size_t size() const { return children.size(); }
};

// Subdivides the root cube level by level. `keys` are the Morton keys of the
// elements in tree order (ascending, at least one). The root is always split;
// a child holding at most `max_leaf_size` elements, or at depth 21, is a
// leaf. Fails with "attempt to divide by zero" when max_leaf_size is 0,
// before creating any node.
OctreeTopology build_topology(std::span<const std::uint64_t> keys, const RootCube& cube,
                              std::uint32_t max_leaf_size);

// Fails unless every topology array has as many entries as `children`.
void check_topology_lengths(const OctreeTopology& topology);

}  // namespace corvane
