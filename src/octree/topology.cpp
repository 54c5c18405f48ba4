// Level-by-level subdivision with one binary search per child.
#include "octree/topology.hpp"

#include <algorithm>
#include <limits>

#include "lib/failure.hpp"

namespace corvane {
namespace {

// Appends a node and returns its index, which must fit the signed 32-bit
// child slots.
std::uint32_t add_node(OctreeTopology& t, const Vec3& centroid, double size, SourceRange range, bool leaf) {
    const std::size_t index = t.children.size();
    if (index > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        fail("octree: more nodes than 32-bit node indices can address");
    }
    t.children.push_back(NO_CHILDREN);
    t.centroids.push_back(centroid);
    t.sizes.push_back(size);
    t.source_range.push_back(range);
    t.is_leaf.push_back(leaf ? 1 : 0);
    return static_cast<std::uint32_t>(index);
}

}  // namespace

OctreeTopology build_topology(std::span<const std::uint64_t> keys, const RootCube& cube,
                              std::uint32_t max_leaf_size) {
    if (max_leaf_size == 0) fail("attempt to divide by zero");
    const std::size_t m = keys.size();
    OctreeTopology t;
    const std::size_t expected = m / max_leaf_size;
    t.children.reserve(expected);
    t.centroids.reserve(expected);
    t.sizes.reserve(expected);
    t.source_range.reserve(expected);
    t.is_leaf.reserve(expected);

    add_node(t, cube.center(), cube.edge, {0, static_cast<std::uint32_t>(m)}, false);
    std::vector<std::uint32_t> level{0}, next;
    for (std::uint32_t depth = 0; !level.empty() && depth < MAX_DEPTH; ++depth) {
        const unsigned shift = 3 * (MAX_DEPTH - 1 - depth);
        const double h = cube.edge / static_cast<double>(std::uint64_t{1} << (depth + 1));
        const double d = h / 2.0;
        const bool deepest = depth + 1 == MAX_DEPTH;
        next.clear();
        for (const std::uint32_t parent : level) {
            const SourceRange range = t.source_range[parent];
            const Vec3 centre = t.centroids[parent];
            std::uint32_t pos = range.start;
            for (std::size_t slot = 0; pos < range.end; ++slot) {
                const std::uint64_t prefix = keys[pos] >> shift;
                const auto run_end = std::upper_bound(
                    keys.begin() + pos, keys.begin() + range.end, prefix,
                    [shift](std::uint64_t value, std::uint64_t key) { return value < (key >> shift); });
                const auto end = static_cast<std::uint32_t>(run_end - keys.begin());
                const bool leaf = deepest || end - pos <= max_leaf_size;
                const Vec3 child_centre{centre.x + ((prefix & 1) ? d : -d), centre.y + ((prefix & 2) ? d : -d),
                                        centre.z + ((prefix & 4) ? d : -d)};
                const std::uint32_t child = add_node(t, child_centre, h, {pos, end}, leaf);
                // Keys below a node share the bits above this level, so at
                // most eight runs exist and `slot` stays below 8.
                t.children[parent][slot] = static_cast<std::int32_t>(child);
                if (!leaf) next.push_back(child);
                pos = end;
            }
        }
        std::swap(level, next);
    }
    check_topology_lengths(t);
    return t;
}

void check_topology_lengths(const OctreeTopology& t) {
    const std::size_t k = t.children.size();
    assert_equal(t.centroids.size(), k, "length of `centroids` does not match");
    assert_equal(t.sizes.size(), k, "length of `sizes` does not match");
    assert_equal(t.source_range.size(), k, "length of `source_range` does not match");
    assert_equal(t.is_leaf.size(), k, "length of `is_leaf` does not match");
}

}  // namespace corvane
