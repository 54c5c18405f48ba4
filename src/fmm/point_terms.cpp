// Point-source interactions over targets, with run-time dispatch; the tail
// runs the same body on one lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fmm/point_terms.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "fmm/point_terms.hpp"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane::fmm {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void AddPointTerms(const Kind& kind, const double* x, const double* y, const double* z, const double* sign,
                   std::size_t n, const Vec3& point, double weight, double* out) {
    const bool dipole = kind.dipole(), curl = kind.curl();
    const double curl_constant = kind.curl_constant();
    corvane::HWY_NAMESPACE::for_each_block(n, [&](auto d, std::size_t i) HWY_ATTR {
        const auto dx = hn::Sub(hn::LoadU(d, x + i), hn::Set(d, point.x));
        const auto dy = hn::Sub(hn::LoadU(d, y + i), hn::Set(d, point.y));
        const auto dz = hn::Sub(hn::LoadU(d, z + i), hn::Set(d, point.z));
        const auto r2 = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
        const auto r = hn::Sqrt(r2);
        const auto s = hn::Mul(hn::LoadU(d, sign + i), hn::Set(d, weight));
        // Lanes of sign 0 add exactly nothing, even at the point itself.
        const auto used = hn::Ne(s, hn::Zero(d));
        const auto add = [&](std::size_t v, auto value) HWY_ATTR {
            hn::StoreU(hn::Add(hn::LoadU(d, out + v * n + i), hn::IfThenElseZero(used, value)), d, out + v * n + i);
        };
        if (dipole) {
            // s / (4 pi r^3) (3 d d^T / r^2 - I)
            const auto a = hn::Div(hn::Mul(s, hn::Set(d, INV_4PI)), hn::Mul(r2, r));
            const auto k = hn::Div(hn::Set(d, 3.0), r2);
            const auto kx = hn::Mul(k, dx), ky = hn::Mul(k, dy);
            const auto one = hn::Set(d, 1.0);
            add(0, hn::Mul(a, hn::Sub(hn::Mul(kx, dx), one)));
            add(1, hn::Mul(a, hn::Sub(hn::Mul(ky, dy), one)));
            add(2, hn::Mul(a, hn::Sub(hn::Mul(hn::Mul(k, dz), dz), one)));
            add(3, hn::Mul(a, hn::Mul(kx, dy)));
            add(4, hn::Mul(a, hn::Mul(kx, dz)));
            add(5, hn::Mul(a, hn::Mul(ky, dz)));
        } else if (curl) {
            // c = -s const d / r^3, the contribution c x v
            const auto a = hn::Div(hn::Mul(s, hn::Set(d, -curl_constant)), hn::Mul(r2, r));
            add(0, hn::Mul(a, dx));
            add(1, hn::Mul(a, dy));
            add(2, hn::Mul(a, dz));
        } else {
            add(0, hn::Div(hn::Mul(s, hn::Set(d, 1e-7)), r));
        }
    });
    corvane::HWY_NAMESPACE::leave_vector_code();
}

void AddPointFields(const Kind& kind, const Vec3& target, const PointSources& pts, double* out) {
    const hn::ScalableTag<double> d;
    const std::size_t lanes = hn::Lanes(d);
    const bool dipole = kind.dipole(), curl = kind.curl();
    const auto c = hn::Set(d, dipole ? INV_4PI : curl ? kind.curl_constant() : 1e-7);
    auto fx = hn::Zero(d), fy = hn::Zero(d), fz = hn::Zero(d);
    HWY_ALIGN double lane[7][16];
    for (std::size_t first = 0; first < pts.size; first += lanes) {
        // Lanes past the end: weight 0 one unit from the target.
        for (std::size_t l = 0; l < lanes; ++l) {
            const bool used = first + l < pts.size;
            const std::size_t i = used ? first + l : 0;
            lane[0][l] = used ? pts.x[i] : target.x + 1.0;
            lane[1][l] = used ? pts.y[i] : target.y;
            lane[2][l] = used ? pts.z[i] : target.z;
            lane[3][l] = used ? pts.weight[i] : 0.0;
            lane[4][l] = used ? pts.vx[i] : 0.0;
            lane[5][l] = used ? pts.vy[i] : 0.0;
            lane[6][l] = used ? pts.vz[i] : 0.0;
        }
        const auto dx = hn::Sub(hn::Set(d, target.x), hn::Load(d, lane[0]));
        const auto dy = hn::Sub(hn::Set(d, target.y), hn::Load(d, lane[1]));
        const auto dz = hn::Sub(hn::Set(d, target.z), hn::Load(d, lane[2]));
        const auto w = hn::Mul(hn::Load(d, lane[3]), c);
        const auto mx = hn::Mul(w, hn::Load(d, lane[4])), my = hn::Mul(w, hn::Load(d, lane[5]));
        const auto mz = hn::Mul(w, hn::Load(d, lane[6]));
        const auto r2 = hn::Add(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)), hn::Mul(dz, dz));
        const auto r = hn::Sqrt(r2);
        if (dipole) {
            // (3 (m . d) d / r^2 - m) / r^3
            const auto q = hn::Div(hn::Set(d, 1.0), hn::Mul(r2, r));
            const auto k = hn::Div(hn::Mul(hn::Set(d, 3.0), hn::Add(hn::Add(hn::Mul(mx, dx), hn::Mul(my, dy)), hn::Mul(mz, dz))), r2);
            fx = hn::MulAdd(q, hn::Sub(hn::Mul(k, dx), mx), fx);
            fy = hn::MulAdd(q, hn::Sub(hn::Mul(k, dy), my), fy);
            fz = hn::MulAdd(q, hn::Sub(hn::Mul(k, dz), mz), fz);
        } else if (curl) {
            // m x d / r^3
            const auto q = hn::Div(hn::Set(d, 1.0), hn::Mul(r2, r));
            fx = hn::MulAdd(q, hn::Sub(hn::Mul(my, dz), hn::Mul(mz, dy)), fx);
            fy = hn::MulAdd(q, hn::Sub(hn::Mul(mz, dx), hn::Mul(mx, dz)), fy);
            fz = hn::MulAdd(q, hn::Sub(hn::Mul(mx, dy), hn::Mul(my, dx)), fz);
        } else {
            const auto q = hn::Div(hn::Set(d, 1.0), r);
            fx = hn::MulAdd(q, mx, fx);
            fy = hn::MulAdd(q, my, fy);
            fz = hn::MulAdd(q, mz, fz);
        }
    }
    HWY_ALIGN double sums[3][16];
    hn::Store(fx, d, sums[0]);
    hn::Store(fy, d, sums[1]);
    hn::Store(fz, d, sums[2]);
    for (std::size_t v = 0; v < 3; ++v) {
        double s = 0.0;
        for (std::size_t l = 0; l < lanes; ++l) s += sums[v][l];
        out[v] += s;
    }
    corvane::HWY_NAMESPACE::leave_vector_code();
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane::fmm
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane::fmm {

HWY_EXPORT(AddPointTerms);
HWY_EXPORT(AddPointFields);

void add_point_fields(const Kind& kind, const Vec3& target, const PointSources& points, double* out) {
    HWY_DYNAMIC_DISPATCH(AddPointFields)(kind, target, points, out);
}

void add_point_terms(const Kind& kind, const double* x, const double* y, const double* z, const double* sign,
                     std::size_t n, const Vec3& point, double weight, double* out) {
    HWY_DYNAMIC_DISPATCH(AddPointTerms)(kind, x, y, z, sign, n, point, weight, out);
}

}  // namespace corvane::fmm
#endif  // HWY_ONCE
