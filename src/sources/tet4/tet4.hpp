// Exact tetrahedron kernels: the field of a uniformly magnetised or
// current-carrying tetrahedron, integrated in closed form over its faces.
#pragma once

#include "sources/kernel.hpp"

namespace corvane {

void tet4_a_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

}  // namespace corvane
