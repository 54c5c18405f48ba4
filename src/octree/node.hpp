// Per-node records of the octree: child slots, element ranges, depth limit.
#pragma once

#include <array>
#include <cstdint>

namespace corvane {

// Child node indices of one node; -1 marks an empty slot. Slots are filled
// from 0 upward in creation order, so the used ones are always a prefix.
using NodeChildren = std::array<std::int32_t, 8>;
inline constexpr std::int32_t NO_CHILD = -1;
inline constexpr NodeChildren NO_CHILDREN = {NO_CHILD, NO_CHILD, NO_CHILD, NO_CHILD,
                                             NO_CHILD, NO_CHILD, NO_CHILD, NO_CHILD};

// Half-open range [start, end) of tree positions of the elements below a node.
struct SourceRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t size() const { return end - start; }
};

// Depth of the deepest nodes (the root has depth 0); they are always leaves.
// Keys carry 21 bits per axis, one per level below the root.
inline constexpr std::uint32_t MAX_DEPTH = 21;

}  // namespace corvane
