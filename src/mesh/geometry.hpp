// Volume and centroid of every four-node tetrahedron of a mesh.
#pragma once

#include <span>

#include "math/vec3.hpp"

namespace corvane {

// Writes the volume (m³, orientation-independent) of element e into
// volumes[e]. The slot count must equal the element count; a node index not
// below nodes.size() is an index failure, tested k0, k1, k2, k3 per element.
void tet_volumes(Vec3List nodes, TetList elements, std::span<double> volumes);

// Writes the centroid of element e as the triple centroids[3e .. 3e+2]; the
// slot count (centroids.size() / 3) must equal the element count. Same index
// checks as tet_volumes.
void tet_centroids(Vec3List nodes, TetList elements, std::span<double> centroids);

}  // namespace corvane
