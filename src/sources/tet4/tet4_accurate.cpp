// The exact tetrahedron kernels with accurate arctangent and logarithm (the corvane package's exact paths), one
// instantiation per Highway target, dispatched at run time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sources/tet4/tet4_accurate.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "sources/tet4/tet4_dispatch.hpp"
#include "sources/tet4/tet4_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

void Tet4AccurateKernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                    Tet4Sweep mode, double scale) {
    tet4_kernel<true>(kind, nodes, vector, chunk, mode, scale);
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane {

HWY_EXPORT(Tet4AccurateKernel);

void tet4_accurate_kernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                      Tet4Sweep mode, double scale) {
    HWY_DYNAMIC_DISPATCH(Tet4AccurateKernel)(kind, nodes, vector, chunk, mode, scale);
}

}  // namespace corvane
#endif  // HWY_ONCE
