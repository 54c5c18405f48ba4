// The dispatched vector kernels behind the tetrahedron kernels of tet4.hpp,
// one translation unit each: the element (positively oriented) in
// coordinates multiplied by `scale`, the chunk's lists of equal length.
#pragma once

#include "sources/tet4/tet4_faces.hpp"
#include "sources/kernel.hpp"

namespace corvane {

void tet4_fast_kernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                      Tet4Sweep mode, double scale);
void tet4_accurate_kernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                          Tet4Sweep mode, double scale);

}  // namespace corvane
