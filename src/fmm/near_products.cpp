// Near-field rows times vectors, vectorised along the row with run-time
// dispatch; the columns past the last full vector run the same body on one
// lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fmm/near_products.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "fmm/near_products.hpp"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane::fmm {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Values of type T as doubles, n_lanes of them from p.
template <class D>
HWY_INLINE auto load_values(D d, const double* p) {
    return hn::LoadU(d, p);
}
template <class D>
HWY_INLINE auto load_values(D d, const float* p) {
    const hn::Rebind<float, D> df;
    return hn::PromoteTo(d, hn::LoadU(df, p));
}

// Sums of one row's field over its columns, per lane.
template <class D>
struct RowSums {
    hn::Vec<D> x, y, z;
};

template <class T, class D>
HWY_INLINE void add_columns(D d, const Kind& kind, bool traceless, const T* row, std::size_t n, std::size_t j,
                            const double* vx, const double* vy, const double* vz, RowSums<D>& s) {
    const auto ux = hn::LoadU(d, vx + j), uy = hn::LoadU(d, vy + j), uz = hn::LoadU(d, vz + j);
    const auto a = [&](std::size_t v) HWY_ATTR { return load_values(d, row + v * n + j); };
    if (traceless) {
        // (xx, yy, xy, xz, yz), zz = -(xx + yy).
        const auto xx = a(0), yy = a(1), xy = a(2), xz = a(3), yz = a(4);
        const auto zz = hn::Neg(hn::Add(xx, yy));
        s.x = hn::Add(s.x, hn::MulAdd(xz, uz, hn::MulAdd(xy, uy, hn::Mul(xx, ux))));
        s.y = hn::Add(s.y, hn::MulAdd(yz, uz, hn::MulAdd(yy, uy, hn::Mul(xy, ux))));
        s.z = hn::Add(s.z, hn::MulAdd(zz, uz, hn::MulAdd(yz, uy, hn::Mul(xz, ux))));
    } else if (kind.dipole()) {
        // The symmetric matrix (xx, yy, zz, xy, xz, yz) times v.
        const auto xy = a(3), xz = a(4), yz = a(5);
        s.x = hn::Add(s.x, hn::MulAdd(xz, uz, hn::MulAdd(xy, uy, hn::Mul(a(0), ux))));
        s.y = hn::Add(s.y, hn::MulAdd(yz, uz, hn::MulAdd(a(1), uy, hn::Mul(xy, ux))));
        s.z = hn::Add(s.z, hn::MulAdd(a(2), uz, hn::MulAdd(yz, uy, hn::Mul(xz, ux))));
    } else if (kind.curl()) {
        // c x v
        const auto cx = a(0), cy = a(1), cz = a(2);
        s.x = hn::Add(s.x, hn::NegMulAdd(cz, uy, hn::Mul(cy, uz)));
        s.y = hn::Add(s.y, hn::NegMulAdd(cx, uz, hn::Mul(cz, ux)));
        s.z = hn::Add(s.z, hn::NegMulAdd(cy, ux, hn::Mul(cx, uy)));
    } else {
        const auto f = a(0);
        s.x = hn::MulAdd(f, ux, s.x);
        s.y = hn::MulAdd(f, uy, s.y);
        s.z = hn::MulAdd(f, uz, s.z);
    }
}

template <class T>
void multiply_rows_impl(const Kind& kind, bool traceless, const T* values, std::size_t n_rows, std::size_t n,
                        const double* vx, const double* vy, const double* vz, double* out) {
    using D = corvane::HWY_NAMESPACE::DFull;
    using D1 = corvane::HWY_NAMESPACE::DOne;
    const D d;
    const D1 d1;
    const std::size_t lanes = hn::Lanes(d), full = n - n % lanes;
    const std::size_t stride = (traceless ? 5 : kind.entry_size()) * n;
    HWY_ALIGN double lane[3][16];
    for (std::size_t t = 0; t < n_rows; ++t) {
        const T* row = values + t * stride;
        RowSums<D> s{hn::Zero(d), hn::Zero(d), hn::Zero(d)};
        for (std::size_t j = 0; j < full; j += lanes) add_columns(d, kind, traceless, row, n, j, vx, vy, vz, s);
        RowSums<D1> r{hn::Zero(d1), hn::Zero(d1), hn::Zero(d1)};
        for (std::size_t j = full; j < n; ++j) add_columns(d1, kind, traceless, row, n, j, vx, vy, vz, r);
        hn::Store(s.x, d, lane[0]), hn::Store(s.y, d, lane[1]), hn::Store(s.z, d, lane[2]);
        const double tail[3] = {hn::GetLane(r.x), hn::GetLane(r.y), hn::GetLane(r.z)};
        for (std::size_t v = 0; v < 3; ++v) {
            double sum = 0.0;
            for (std::size_t l = 0; l < lanes; ++l) sum += lane[v][l];
            out[3 * t + v] += sum + tail[v];
        }
    }
    corvane::HWY_NAMESPACE::leave_vector_code();
}

void MultiplyRowsSingle(const Kind& kind, bool traceless, const float* values, std::size_t n_rows, std::size_t n,
                        const double* vx, const double* vy, const double* vz, double* out) {
    multiply_rows_impl(kind, traceless, values, n_rows, n, vx, vy, vz, out);
}

void MultiplyRowsDouble(const Kind& kind, bool traceless, const double* values, std::size_t n_rows, std::size_t n,
                        const double* vx, const double* vy, const double* vz, double* out) {
    multiply_rows_impl(kind, traceless, values, n_rows, n, vx, vy, vz, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane::fmm
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane::fmm {

HWY_EXPORT(MultiplyRowsSingle);
HWY_EXPORT(MultiplyRowsDouble);

void multiply_rows(const Kind& kind, bool traceless, const float* values, std::size_t n_rows, std::size_t n_columns,
                   const double* vx, const double* vy, const double* vz, double* out) {
    HWY_DYNAMIC_DISPATCH(MultiplyRowsSingle)(kind, traceless, values, n_rows, n_columns, vx, vy, vz, out);
}

void multiply_rows(const Kind& kind, bool traceless, const double* values, std::size_t n_rows, std::size_t n_columns,
                   const double* vx, const double* vy, const double* vz, double* out) {
    HWY_DYNAMIC_DISPATCH(MultiplyRowsDouble)(kind, traceless, values, n_rows, n_columns, vx, vy, vz, out);
}

}  // namespace corvane::fmm
#endif  // HWY_ONCE
