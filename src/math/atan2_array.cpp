// Elementwise fast_atan2, vectorised with run-time dispatch; the tail runs
// the same body on one lane, so every element matches the scalar function.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "math/atan2_array.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "math/atan2_array.hpp"
#include "math/fast_math-inl.h"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {

void Atan2Array(const double* y, const double* x, double* out, std::size_t n) {
    for_each_block_fused(n, [&](auto d, std::size_t i) HWY_ATTR {
        hn::StoreU(FastAtan2(d, hn::LoadU(d, y + i), hn::LoadU(d, x + i)), d, out + i);
    });
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "lib/failure.hpp"

namespace corvane {

HWY_EXPORT(Atan2Array);

std::vector<double> atan2_array(std::span<const double> y, std::span<const double> x) {
    assert_equal(x.size(), y.size(), "length of `_xvals` does not match");
    std::vector<double> out(x.size());
    if (!out.empty()) HWY_DYNAMIC_DISPATCH(Atan2Array)(y.data(), x.data(), out.data(), out.size());
    return out;
}

}  // namespace corvane
#endif  // HWY_ONCE
