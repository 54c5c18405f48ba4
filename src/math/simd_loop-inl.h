// Per-target loop helpers for the vectorised kernels; re-included once per
// Highway target through foreach_target.h (hence the toggling guard).
#if defined(CORVANE_MATH_SIMD_LOOP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef CORVANE_MATH_SIMD_LOOP_INL_H_
#undef CORVANE_MATH_SIMD_LOOP_INL_H_
#else
#define CORVANE_MATH_SIMD_LOOP_INL_H_
#endif

#include <cmath>
#include <cstddef>

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DFull = hn::ScalableTag<double>;
using DOne = hn::CappedTag<double, 1>;

// Runs body(d, i) for each full vector of targets starting at i, then
// body(d1, i) with a one-lane descriptor for each remaining target. The body
// is one template, so every target gets the same operations wherever it sits.
template <class Body>
HWY_INLINE void for_each_block(std::size_t n, Body&& body) {
    const DFull d;
    const std::size_t lanes = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) body(d, i);
    const DOne d1;
    for (; i < n; ++i) body(d1, i);
}

// The one-lane form of for_each_block: the scalar path.
template <class Body>
HWY_INLINE void for_each_single(std::size_t n, Body&& body) {
    const DOne d1;
    for (std::size_t i = 0; i < n; ++i) body(d1, i);
}

// Fused multiply-add a*b + c, rounded once. Where the target has no fused
// instruction the lanes go through std::fma, so results never depend on it;
// kernels that need fusion also route such targets through for_each_single.
template <class D, class V>
HWY_INLINE V MulAddExact(D d, V a, V b, V c) {
#if HWY_NATIVE_FMA
    (void)d;
    return hn::MulAdd(a, b, c);
#else
    constexpr std::size_t kMax = HWY_MAX_BYTES / sizeof(double);
    HWY_ALIGN double la[kMax], lb[kMax], lc[kMax];
    hn::Store(a, d, la);
    hn::Store(b, d, lb);
    hn::Store(c, d, lc);
    for (std::size_t i = 0; i < hn::Lanes(d); ++i) la[i] = std::fma(la[i], lb[i], lc[i]);
    return hn::Load(d, la);
#endif
}

// Loop for kernels whose formulas contain fused multiply-adds: the vector
// form only where the target fuses, the exact scalar path elsewhere.
template <class Body>
HWY_INLINE void for_each_block_fused(std::size_t n, Body&& body) {
#if HWY_NATIVE_FMA
    for_each_block(n, body);
#else
    for_each_single(n, body);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#endif  // CORVANE_MATH_SIMD_LOOP_INL_H_
