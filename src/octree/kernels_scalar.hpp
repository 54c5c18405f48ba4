// One-lane paths of the multipole kernels: the same operations as the
// dispatched kernels, one target at a time; for tests and benchmarks.
#pragma once

#include "octree/kernels.hpp"

namespace corvane {

void multipole_a_from_j_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_h_from_j_0_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_h_from_j_1_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_a_from_m_0_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_a_from_m_1_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_h_from_m_0_scalar(const NodeExpansion& expansion, const ChunkPair& chunk);

}  // namespace corvane
