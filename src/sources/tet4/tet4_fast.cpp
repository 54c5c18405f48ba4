// The exact tetrahedron kernels with the fast arctangent and logarithm (the module functions' results), one
// instantiation per Highway target, dispatched at run time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sources/tet4/tet4_fast.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "sources/tet4/tet4_dispatch.hpp"
#include "sources/tet4/tet4_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

void Tet4FastKernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                    Tet4Sweep mode, double scale) {
    tet4_kernel<false>(kind, nodes, vector, chunk, mode, scale);
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane {

HWY_EXPORT(Tet4FastKernel);

void tet4_fast_kernel(Tet4Kind kind, const ElementNodes& nodes, const Vec3& vector, const ChunkPair& chunk,
                      Tet4Sweep mode, double scale) {
    HWY_DYNAMIC_DISPATCH(Tet4FastKernel)(kind, nodes, vector, chunk, mode, scale);
}

}  // namespace corvane
#endif  // HWY_ONCE
