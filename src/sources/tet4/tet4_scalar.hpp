// One-lane paths of the exact tetrahedron kernels: the same operations as the
// dispatched kernels, one target at a time; for tests and benchmarks.
#pragma once

#include "sources/kernel.hpp"

namespace corvane {

void tet4_a_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_m_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_j_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_m_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_m_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_a_from_j_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);
void tet4_h_from_j_accurate_scalar(const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk);

}  // namespace corvane
