// Far-field kernels: the field of one octree node's multipole expansion at a chunk of targets.
#pragma once
#include <array>
#include "lib/records.hpp"
#include "math/vec3.hpp"
namespace corvane {
// First moment T, row-major: T[a][b] at index 3a + b (xx, xy, xz, yx, ..., zz).
using FirstMoment = std::array<double, 9>;
// Read-only references to one node's expansion centre, zeroth moment Q and first moment T.
struct NodeExpansion {
    const Vec3& center;
    const Vec3& moment;
    const FirstMoment& first_moment;
};
// Adds the expansion's field at every target of the chunk to the chunk's outputs.
using MultipoleKernel = void (*)(const NodeExpansion& expansion, const ChunkPair& chunk);
// Q is volume x vector (A·m for current density, A·m² for magnetisation), T
// the sum of (volume x vector)_a (element centroid - center)_b; outputs in SI
// (A in T·m, H in A/m). All six check the list lengths first, naming the
// outputs `ax`..`az` in multipole_a_from_j and `hx`..`hz` in the others. A
// target at the centre gives non-finite values.
// Current density, vector potential, zeroth plus first order.
void multipole_a_from_j(const NodeExpansion& expansion, const ChunkPair& chunk);
// Current density, field H: zeroth order, and zeroth plus first order.
void multipole_h_from_j_0(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_h_from_j_1(const NodeExpansion& expansion, const ChunkPair& chunk);
// Magnetisation, vector potential: zeroth order, and zeroth plus first order.
void multipole_a_from_m_0(const NodeExpansion& expansion, const ChunkPair& chunk);
void multipole_a_from_m_1(const NodeExpansion& expansion, const ChunkPair& chunk);
// Magnetisation, field H: the point-dipole field of Q.
void multipole_h_from_m_0(const NodeExpansion& expansion, const ChunkPair& chunk);
}  // namespace corvane
