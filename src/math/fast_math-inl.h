// Vector forms of fast_atan2 and fast_ln (math/fast_math.hpp), lane for lane
// bit-identical to them; re-included once per Highway target.
#if defined(CORVANE_MATH_FAST_MATH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef CORVANE_MATH_FAST_MATH_INL_H_
#undef CORVANE_MATH_FAST_MATH_INL_H_
#else
#define CORVANE_MATH_FAST_MATH_INL_H_
#endif

#include <cstdint>

#include <hwy/highway.h>

#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// fast_atan2 on every lane, in two steps so that callers can interleave
// several: the ratio s (one division), then the polynomial and the quadrant.
template <class D>
struct Atan2Parts {
    hn::Vec<D> y, x, s;
    hn::Mask<D> steep;
};

template <class D>
HWY_INLINE Atan2Parts<D> FastAtan2Start(D d, hn::Vec<D> y, hn::Vec<D> x) {
    const auto ay = hn::Abs(y);
    const auto ax = hn::Abs(x);
    const auto steep = hn::Gt(ay, ax);
    const auto eps = hn::Set(d, 1e-16);
    return {y, x, hn::Div(hn::IfThenElse(steep, ax, ay), hn::Add(hn::IfThenElse(steep, ay, ax), eps)), steep};
}

template <class D>
HWY_INLINE hn::Vec<D> FastAtan2Finish(D d, const Atan2Parts<D>& a) {
    const auto s = a.s;
    const auto z = hn::Mul(s, s);
    auto p = MulAddExact(d, z, hn::Set(d, -0.0117212), hn::Set(d, 0.05265332));
    p = MulAddExact(d, z, p, hn::Set(d, -0.11643287));
    p = MulAddExact(d, z, p, hn::Set(d, 0.19354346));
    p = MulAddExact(d, z, p, hn::Set(d, -0.33262347));
    p = MulAddExact(d, z, p, hn::Set(d, 0.99997726));
    const auto sp = hn::Mul(s, p);
    auto theta = hn::IfThenElse(a.steep, hn::Sub(hn::Set(d, 1.5707963267948966), sp), sp);
    theta = hn::IfThenElse(hn::Lt(a.x, hn::Zero(d)), hn::Sub(hn::Set(d, 3.141592653589793), theta), theta);
    return hn::CopySign(theta, a.y);
}

template <class D>
HWY_INLINE hn::Vec<D> FastAtan2(D d, hn::Vec<D> y, hn::Vec<D> x) {
    return FastAtan2Finish(d, FastAtan2Start(d, y, x));
}

// fast_ln on every lane, from the bit fields, in two steps: the exponent e
// and t = (m - 1)/(1 + m) (one division), then the series.
template <class D>
struct LnParts {
    hn::Vec<D> e, t;
};

template <class D>
HWY_INLINE LnParts<D> FastLnStart(D d, hn::Vec<D> x) {
    const hn::RebindToUnsigned<D> du;
    const auto bits = hn::BitCast(du, x);
    const auto field = hn::And(hn::ShiftRight<52>(bits), hn::Set(du, std::uint64_t{0x7ff}));
    // e = field - 1023, exactly: the field is placed in the significand of
    // 2^52 and 2^52 + 1023 subtracted (both exact, no integer conversion).
    const auto e = hn::Sub(hn::BitCast(d, hn::Or(field, hn::Set(du, std::uint64_t{0x4330000000000000}))),
                           hn::Set(d, 4503599627371519.0));
    const auto m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(du, std::uint64_t{0x000fffffffffffff})),
                                         hn::Set(du, std::uint64_t{0x3ff0000000000000})));
    const auto one = hn::Set(d, 1.0);
    return {e, hn::Div(hn::Sub(m, one), hn::Add(one, m))};
}

template <class D>
HWY_INLINE hn::Vec<D> FastLnFinish(D d, const LnParts<D>& l) {
    const auto t = l.t;
    const auto z = hn::Mul(t, t);
    auto q = MulAddExact(d, z, hn::Set(d, 0.09090909090909091), hn::Set(d, 0.1111111111111111));
    q = MulAddExact(d, z, q, hn::Set(d, 0.14285714285714285));
    q = MulAddExact(d, z, q, hn::Set(d, 0.2));
    q = MulAddExact(d, z, q, hn::Set(d, 0.3333333333333333));
    q = MulAddExact(d, z, q, hn::Set(d, 1.0));
    return hn::Add(hn::Mul(l.e, hn::Set(d, 0.6931471805599453)), hn::Mul(hn::Mul(hn::Set(d, 2.0), t), q));
}

template <class D>
HWY_INLINE hn::Vec<D> FastLn(D d, hn::Vec<D> x) {
    return FastLnFinish(d, FastLnStart(d, x));
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane
HWY_AFTER_NAMESPACE();

#endif  // CORVANE_MATH_FAST_MATH_INL_H_
