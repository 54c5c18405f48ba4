// The source mesh as the operator keeps it: its own copy of nodes and
// elements, with each element's centroid, volume, radius and quadrature points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fmm/quadrature.hpp"
#include "fmm/tree.hpp"
#include "lib/work_queue.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

struct Elements {
    std::vector<double> nodes;           // flat (x, y, z) per node
    std::vector<std::uint32_t> tets;     // four node indices per element
    std::vector<double> volumes;         // m^3
    Points centroids;
    std::vector<double> radii;           // largest distance from the centroid to a node
    std::size_t points_per_element = 0;  // quadrature points of every element
    // Element e's points at e * points_per_element + q; the operator drops
    // these two once it holds them in tree order.
    Points points;
    std::vector<double> point_weights;   // quadrature weight times volume (m^3)

    std::size_t size() const { return volumes.size(); }
    Vec3 node(std::uint32_t i) const { return {nodes[3 * i], nodes[3 * i + 1], nodes[3 * i + 2]}; }
};

// Copies the mesh and places the points of the quadrature rule. Fails on a
// node index out of range and on an element whose volume is not positive
// and finite.
Elements make_elements(Vec3List nodes, TetList tets, std::span<const QuadraturePoint> rule, std::size_t n_threads,
                       const Poll& poll);

}  // namespace corvane::fmm
