// Placeholder until the exact kernels land.
#include "lib/failure.hpp"
#include "sources/tet4/tet4.hpp"

namespace corvane {

void tet4_a_from_m(const ElementNodes&, const Vec3&, const ChunkPair&) { fail("tet4 kernels not built yet"); }
void tet4_h_from_m(const ElementNodes&, const Vec3&, const ChunkPair&) { fail("tet4 kernels not built yet"); }
void tet4_a_from_j(const ElementNodes&, const Vec3&, const ChunkPair&) { fail("tet4 kernels not built yet"); }
void tet4_h_from_j(const ElementNodes&, const Vec3&, const ChunkPair&) { fail("tet4 kernels not built yet"); }

}  // namespace corvane
