// The source elements of an octree in tree order (sorted by Morton key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/vec3.hpp"
#include "octree/bbox.hpp"

namespace corvane {

// The elements in tree order: position p holds the caller's element order[p].
// The tree owns these copies; nothing refers into the caller's arrays.
struct OctreeSources {
    std::vector<std::uint32_t> connectivity;  // four node indices per element
    std::vector<double> centroids;            // (x, y, z) per element, metres
    std::vector<double> volumes;              // absolute volume, always > 0
    std::vector<double> radii;                // largest centroid-to-vertex distance
    std::vector<double> nodes;                // all mesh nodes, caller's node order
    std::vector<std::size_t> order;           // caller's element index per position

    std::size_t size() const { return volumes.size(); }
    TetList connectivity_list() const { return {connectivity.data(), connectivity.size() / 4}; }
    Vec3List centroid_list() const { return Vec3List(centroids); }
    Vec3List node_list() const { return Vec3List(nodes); }
};

// Sources in tree order with their sorted keys and the root cube.
struct KeyedSources {
    OctreeSources sources;
    std::vector<std::uint64_t> keys;  // ascending; keys[p] belongs to position p
    RootCube cube;
};

// Orders the elements by the Morton key of their centroids in the bounding
// cube of the centroids (stable for equal keys) and computes their volumes
// and radii. Requires at least one element. Fails on a node index out of
// range and with "assertion failed: v > 0.0" on an element whose volume is
// not positive.
KeyedSources build_sources(Vec3List nodes, TetList connectivity);

}  // namespace corvane
