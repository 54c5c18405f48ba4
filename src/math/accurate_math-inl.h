// Accurate two-argument arctangent and log1p for the exact integrals of the
// corvane package, in the two-step form of fast_math-inl.h (ratio first,
// polynomial later); re-included once per Highway target.
#if defined(CORVANE_MATH_ACCURATE_MATH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef CORVANE_MATH_ACCURATE_MATH_INL_H_
#undef CORVANE_MATH_ACCURATE_MATH_INL_H_
#else
#define CORVANE_MATH_ACCURATE_MATH_INL_H_
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

#include "math/fast_math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// atan2(y, x) in [-pi, pi] (x = -0.0 is not reflected, the sign is y's sign
// bit, (0, 0) gives 0). The ratio s = min/max of |x|, |y| in [0, 1] takes one
// division (0.5 ULP); Highway's arctangent polynomial on [0, 1] is within
// 3 ULP; pi/2 - a and pi - a add one rounding each. The angle is within
// 2e-15 rad, and within 4 ULP where |angle| < pi/4.
template <class D>
HWY_INLINE Atan2Parts<D> AccurateAtan2Start(D d, hn::Vec<D> y, hn::Vec<D> x) {
    const auto ay = hn::Abs(y);
    const auto ax = hn::Abs(x);
    const auto steep = hn::Gt(ay, ax);
    const auto big = hn::IfThenElse(steep, ay, ax);
    const auto one = hn::Set(d, 1.0);
    const auto divisor = hn::IfThenElse(hn::Eq(big, hn::Zero(d)), one, big);
    return {y, x, hn::Div(hn::IfThenElse(steep, ax, ay), divisor), steep};
}

template <class D>
HWY_INLINE hn::Vec<D> AccurateAtan2Finish(D d, const Atan2Parts<D>& a) {
    // The polynomial of hn::Atan for arguments in [0, 1], without the
    // reciprocal that hn::Atan forms for larger ones (never needed here).
    const auto angle = hn::impl::AtanImpl<double>().AtanPoly(d, a.s);
    auto theta = hn::IfThenElse(a.steep, hn::Sub(hn::Set(d, 1.5707963267948966), angle), angle);
    theta = hn::IfThenElse(hn::Lt(a.x, hn::Zero(d)), hn::Sub(hn::Set(d, 3.141592653589793), theta), theta);
    return hn::CopySign(theta, a.y);
}

// log1p(x) for x >= 0 (capped at 1e300, so +inf and NaN give about 690):
// u = 1 + x rounded, log(u) by Highway (4 ULP), plus the rounding error
// x - (u - 1) (exact for u <= 2) divided by u, here times 2 - u, which
// differs from 1/u by (u - 1)^2/u, or times 0 for u >= 2, where the correction
// is below 0.4 ULP of log(u). Within 5 ULP.
template <class D>
HWY_INLINE hn::Vec<D> AccurateLog1p(D d, hn::Vec<D> x) {
    const auto one = hn::Set(d, 1.0);
    const auto two = hn::Set(d, 2.0);
    const auto capped = hn::Min(x, hn::Set(d, 1e300));
    const auto u = hn::Add(one, capped);
    const auto lost = hn::Sub(capped, hn::Sub(u, one));
    const auto weight = hn::Max(hn::Sub(two, u), hn::Zero(d));
    return hn::Add(hn::Log(d, u), hn::Mul(lost, weight));
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#endif  // CORVANE_MATH_ACCURATE_MATH_INL_H_
