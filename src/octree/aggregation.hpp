// Multipole moments of the octree nodes for one kind of element vector.
#pragma once

#include <vector>

#include "math/vec3.hpp"
#include "octree/kernels.hpp"
#include "octree/sources.hpp"
#include "octree/topology.hpp"

namespace corvane {

// One entry per node. Q and T are the sums over the node's elements of
// q = volume x vector and q_a (centroid - center)_b; W is the sum of
// |vector| x volume, `center` the W-weighted mean of the element centroids
// (the cube centre when W is not positive), `radius` that of the ball about
// `center` holding every element's own ball.
struct NodeMoments {
    std::vector<Vec3> moment;
    std::vector<FirstMoment> first_moment;
    std::vector<Vec3> center;
    std::vector<double> weight;
    std::vector<double> radius;

    NodeExpansion expansion(std::size_t node) const { return {center[node], moment[node], first_moment[node]}; }
};

// Computes the moments bottom-up (leaves from their elements, parents by the
// exact translation of their children's moments), then the radii from the
// elements. `vectors` are one per element in tree order (at least as many as
// elements; later entries are not read).
NodeMoments compute_node_moments(const OctreeTopology& topology, const OctreeSources& sources, Vec3List vectors);

}  // namespace corvane
