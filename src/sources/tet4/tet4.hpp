// Exact tetrahedron kernels: the field of a uniformly magnetised or
// current-carrying tetrahedron, integrated in closed form over its faces.
#pragma once

#include "sources/kernel.hpp"

namespace corvane {

// Each adds, at every target of the chunk, the field of one element (A in
// T·m from M in A/m or J in A/m², H in A/m) to the chunk's outputs. The node
// order does not matter: a negatively oriented element is integrated with
// nodes 1 and 2 exchanged.
// tet4_a_from_m, tet4_h_from_j and tet4_a_from_j require all six lists to
// have the length of x; tet4_h_from_m fails with an index failure when any
// list is shorter than x and ignores entries beyond it.
void tet4_a_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_m(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_j(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

// The same integrals with accurate arctangent and logarithm and the edge
// logarithms formed without cancellation: each (element, target) term within
// a few units in the last place of its largest parts, where the kernels
// above are within about 1e-6 (their fast functions). For the corvane
// package's exact paths; the module functions keep the kernels above.
void tet4_a_from_m_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_m_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_j_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_j_accurate(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

}  // namespace corvane
