// Points to multipoles and locals to targets through the regular harmonics
// and their ladders: dz R_n^m = R_{n-1}^m, (dx + i dy) R_n^m = -R_{n-1}^{m+1},
// (dx - i dy) R_n^m = R_{n-1}^{m-1}, with X^{-m} = (-1)^m conj(X^m).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fmm/expansions.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <vector>

#include "fmm/expansions.hpp"
#include "fmm/harmonics.hpp"
#include "math/simd_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace corvane::fmm {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// 1 / ((n - m)(n + m)) at packed(n, m) up to order TABLE_ORDER: the
// divisions of regular()'s recurrence, done once.
constexpr std::size_t TABLE_ORDER = 96;
HWY_INLINE const double* recurrence_inverses() {
    static const std::vector<double> table = [] {
        std::vector<double> t(packed_count(TABLE_ORDER), 0.0);
        for (std::size_t n = 2; n <= TABLE_ORDER; ++n) {
            for (std::size_t m = 0; m + 2 <= n; ++m) t[packed(n, m)] = 1.0 / static_cast<double>((n - m) * (n + m));
        }
        return t;
    }();
    return table.data();
}

// Degree n of R_n^m of the lanes' points from degrees n - 1 and n - 2 (n >= 1),
// entry (packed, lane) at [packed * lanes + lane]; r2 = |b|^2, inverses as
// recurrence_inverses() or null.
template <class D>
HWY_INLINE void regular_degree(D d, std::size_t n, hn::Vec<D> bx, hn::Vec<D> by, hn::Vec<D> bz, hn::Vec<D> r2,
                               const double* inverses, double* re, double* im) {
    const std::size_t L = hn::Lanes(d);
    // R_n^m = ((2n - 1) z R_{n-1}^m - r^2 R_{n-2}^m) / ((n - m)(n + m)), m <= n - 2.
    // The orders m of one degree do not depend on each other, so their
    // products overlap in the pipeline.
    const auto a = hn::Mul(hn::Set(d, static_cast<double>(2 * n - 1)), bz);
    for (std::size_t m = 0; m + 2 <= n; ++m) {
        const auto s = hn::Set(d, inverses ? inverses[packed(n, m)] : 1.0 / static_cast<double>((n - m) * (n + m)));
        const std::size_t n1 = packed(n - 1, m) * L, n2 = packed(n - 2, m) * L, at = packed(n, m) * L;
        hn::StoreU(hn::Mul(hn::Sub(hn::Mul(a, hn::LoadU(d, re + n1)), hn::Mul(r2, hn::LoadU(d, re + n2))), s), d,
                   re + at);
        hn::StoreU(hn::Mul(hn::Sub(hn::Mul(a, hn::LoadU(d, im + n1)), hn::Mul(r2, hn::LoadU(d, im + n2))), s), d,
                   im + at);
    }
    const std::size_t diagonal = packed(n - 1, n - 1) * L;
    const auto c = hn::LoadU(d, re + diagonal), e = hn::LoadU(d, im + diagonal);
    // R_n^{n-1} = z R_{n-1}^{n-1}
    hn::StoreU(hn::Mul(bz, c), d, re + packed(n, n - 1) * L);
    hn::StoreU(hn::Mul(bz, e), d, im + packed(n, n - 1) * L);
    // R_n^n = R_{n-1}^{n-1} (x + iy) / (2n)
    const auto s = hn::Set(d, 1.0 / static_cast<double>(2 * n));
    hn::StoreU(hn::Mul(hn::Sub(hn::Mul(c, bx), hn::Mul(e, by)), s), d, re + packed(n, n) * L);
    hn::StoreU(hn::Mul(hn::Add(hn::Mul(c, by), hn::Mul(e, bx)), s), d, im + packed(n, n) * L);
}

template <class D>
HWY_INLINE hn::Vec<D> squared_norm(hn::Vec<D> bx, hn::Vec<D> by, hn::Vec<D> bz) {
    return hn::Add(hn::Add(hn::Mul(bx, bx), hn::Mul(by, by)), hn::Mul(bz, bz));
}

// R_n^m of the lanes' points (b.x, b.y, b.z) into re/im, n <= order.
template <class D>
HWY_INLINE void regular(D d, std::size_t order, hn::Vec<D> bx, hn::Vec<D> by, hn::Vec<D> bz, double* re,
                        double* im) {
    const double* inverses = order <= TABLE_ORDER ? recurrence_inverses() : nullptr;
    const auto r2 = squared_norm<D>(bx, by, bz);
    hn::StoreU(hn::Set(d, 1.0), d, re);
    hn::StoreU(hn::Zero(d), d, im);
    for (std::size_t n = 1; n <= order; ++n) regular_degree(d, n, bx, by, bz, r2, inverses, re, im);
}

// I_n^m of the lanes' points into re/im, as regular().
template <class D>
HWY_INLINE void irregular(D d, std::size_t order, hn::Vec<D> bx, hn::Vec<D> by, hn::Vec<D> bz, double* re,
                          double* im) {
    const std::size_t L = hn::Lanes(d);
    const auto r2 = hn::Add(hn::Add(hn::Mul(bx, bx), hn::Mul(by, by)), hn::Mul(bz, bz));
    const auto inv_r2 = hn::Div(hn::Set(d, 1.0), r2);
    hn::StoreU(hn::Div(hn::Set(d, 1.0), hn::Sqrt(r2)), d, re);
    hn::StoreU(hn::Zero(d), d, im);
    // Degree by degree, as regular().
    for (std::size_t n = 1; n <= order; ++n) {
        // I_n^m = ((2n - 1) z I_{n-1}^m - (n + m - 1)(n - m - 1) I_{n-2}^m) / r^2, m <= n - 2
        const auto a = hn::Mul(hn::Set(d, static_cast<double>(2 * n - 1)), bz);
        for (std::size_t m = 0; m + 2 <= n; ++m) {
            const auto b = hn::Set(d, static_cast<double>((n + m - 1) * (n - m - 1)));
            const std::size_t n1 = packed(n - 1, m) * L, n2 = packed(n - 2, m) * L, at = packed(n, m) * L;
            hn::StoreU(hn::Mul(hn::Sub(hn::Mul(a, hn::LoadU(d, re + n1)), hn::Mul(b, hn::LoadU(d, re + n2))), inv_r2),
                       d, re + at);
            hn::StoreU(hn::Mul(hn::Sub(hn::Mul(a, hn::LoadU(d, im + n1)), hn::Mul(b, hn::LoadU(d, im + n2))), inv_r2),
                       d, im + at);
        }
        const std::size_t diagonal = packed(n - 1, n - 1) * L;
        const auto c = hn::LoadU(d, re + diagonal), e = hn::LoadU(d, im + diagonal);
        // I_n^{n-1} = (2n - 1) z / r^2 I_{n-1}^{n-1}
        const auto t = hn::Mul(hn::Mul(hn::Set(d, static_cast<double>(2 * n - 1)), bz), inv_r2);
        hn::StoreU(hn::Mul(t, c), d, re + packed(n, n - 1) * L);
        hn::StoreU(hn::Mul(t, e), d, im + packed(n, n - 1) * L);
        // I_n^n = (2n - 1)(x + iy) / r^2 I_{n-1}^{n-1}
        const auto s = hn::Mul(hn::Set(d, static_cast<double>(2 * n - 1)), inv_r2);
        hn::StoreU(hn::Mul(hn::Sub(hn::Mul(c, bx), hn::Mul(e, by)), s), d, re + packed(n, n) * L);
        hn::StoreU(hn::Mul(hn::Add(hn::Mul(c, by), hn::Mul(e, bx)), s), d, im + packed(n, n) * L);
    }
}

template <class D>
struct Complex2 {
    hn::Vec<D> re, im;
};

// R_n^m of the lanes for any |m| <= n (zero beyond).
template <class D>
HWY_INLINE Complex2<D> get(D d, const double* re, const double* im, long n, long m) {
    const std::size_t L = hn::Lanes(d);
    if (n < 0 || m > n || -m > n) return {hn::Zero(d), hn::Zero(d)};
    const std::size_t at = packed(static_cast<std::size_t>(n), static_cast<std::size_t>(m < 0 ? -m : m)) * L;
    const auto a = hn::LoadU(d, re + at), b = hn::LoadU(d, im + at);
    if (m >= 0) return {a, b};
    // (-1)^m conj(R^{|m|})
    return (m % 2 == 0) ? Complex2<D>{a, hn::Neg(b)} : Complex2<D>{hn::Neg(a), b};
}

using DFull = hn::ScalableTag<double>;

void PointsToMultipole(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                       const SourceBatch& pts, double* multipole, std::vector<double>& scratch) {
    using D = DFull;
    const D d;
    const std::size_t L = hn::Lanes(d);
    const std::size_t n_packed = packed_count(order), comps = kind.components();
    scratch.assign(2 * n_packed * L * (1 + comps), 0.0);
    double* r_re = scratch.data();
    double* r_im = r_re + n_packed * L;
    double* acc = r_im + n_packed * L;  // per component: re, im
    const double inv_w = 1.0 / width;
    HWY_ALIGN double lane[7][16];
    for (std::size_t first = 0; first < pts.size; first += L) {
        // Lanes past the last point get weight 0 at the centre: exactly nothing.
        for (std::size_t l = 0; l < L; ++l) {
            const bool used = first + l < pts.size;
            const std::size_t i = used ? first + l : 0;
            lane[0][l] = used ? pts.x[i] : centre.x;
            lane[1][l] = used ? pts.y[i] : centre.y;
            lane[2][l] = used ? pts.z[i] : centre.z;
            lane[3][l] = used ? pts.weight[i] : 0.0;
            lane[4][l] = used ? pts.vx[i] : 0.0;
            lane[5][l] = used ? pts.vy[i] : 0.0;
            lane[6][l] = used ? pts.vz[i] : 0.0;
        }
        const auto iw = hn::Set(d, inv_w);
        const auto bx = hn::Mul(hn::Sub(hn::LoadU(d, lane[0]), hn::Set(d, centre.x)), iw);
        const auto by = hn::Mul(hn::Sub(hn::LoadU(d, lane[1]), hn::Set(d, centre.y)), iw);
        const auto bz = hn::Mul(hn::Sub(hn::LoadU(d, lane[2]), hn::Set(d, centre.z)), iw);
        const auto w = hn::LoadU(d, lane[3]);
        const auto vx = hn::LoadU(d, lane[4]), vy = hn::LoadU(d, lane[5]), vz = hn::LoadU(d, lane[6]);
        if (kind.dipole()) {
            // conj(v . grad R_n^m) / w, with the dipole potential's 1/(4 pi):
            // v . grad R_n^m = vz R_{n-1}^m - h- R_{n-1}^{m+1} + h+ R_{n-1}^{m-1},
            // h-+ = (vx -+ i vy) / 2.
            const auto s = hn::Mul(w, hn::Set(d, INV_4PI * inv_w));
            const auto half = hn::Set(d, 0.5);
            const auto hx = hn::Mul(hn::Mul(vx, s), half), hy = hn::Mul(hn::Mul(vy, s), half);
            const auto sz = hn::Mul(vz, s);
            const auto accumulate = [&](std::size_t n, std::size_t m, const Complex2<D>& a, const Complex2<D>& up,
                                        const Complex2<D>& down) {
                // -(hx - i hy)(u) + (hx + i hy)(dn)
                const auto g_re = hn::Add(hn::Sub(hn::Mul(sz, a.re), hn::Add(hn::Mul(hx, up.re), hn::Mul(hy, up.im))),
                                          hn::Sub(hn::Mul(hx, down.re), hn::Mul(hy, down.im)));
                const auto g_im = hn::Add(hn::Sub(hn::Mul(sz, a.im), hn::Sub(hn::Mul(hx, up.im), hn::Mul(hy, up.re))),
                                          hn::Add(hn::Mul(hx, down.im), hn::Mul(hy, down.re)));
                const std::size_t at = packed(n, m) * L;
                hn::StoreU(hn::Add(hn::LoadU(d, acc + at), g_re), d, acc + at);
                hn::StoreU(hn::Sub(hn::LoadU(d, acc + n_packed * L + at), g_im), d, acc + n_packed * L + at);
            };
            const Complex2<D> none{hn::Zero(d), hn::Zero(d)};
            const auto r = [&](std::size_t n, std::size_t m) {
                const std::size_t at = packed(n, m) * L;
                return Complex2<D>{hn::LoadU(d, r_re + at), hn::LoadU(d, r_im + at)};
            };
            // Degree n of the multipole takes degree n - 1 of R, computed
            // just before, while it is in cache (R up to order - 1 only).
            const double* inverses = order <= TABLE_ORDER ? recurrence_inverses() : nullptr;
            const auto r2 = squared_norm<D>(bx, by, bz);
            hn::StoreU(hn::Set(d, 1.0), d, r_re);
            hn::StoreU(hn::Zero(d), d, r_im);
            for (std::size_t n = 1; n <= order; ++n) {
                const std::size_t q = n - 1;
                if (q >= 1) regular_degree(d, q, bx, by, bz, r2, inverses, r_re, r_im);
                // R_q^{-1} = -conj(R_q^1); R_q^m is zero for m > q.
                const Complex2<D> below = q >= 1 ? Complex2<D>{hn::Neg(r(q, 1).re), r(q, 1).im} : none;
                accumulate(n, 0, r(q, 0), q >= 1 ? r(q, 1) : none, below);
                for (std::size_t m = 1; m + 1 < n; ++m) accumulate(n, m, r(q, m), r(q, m + 1), r(q, m - 1));
                if (n >= 2) accumulate(n, n - 1, r(q, n - 1), none, r(q, n - 2));
                accumulate(n, n, none, none, r(q, n - 1));
            }
        } else {
            regular(d, order, bx, by, bz, r_re, r_im);
            const hn::Vec<D> strength[3] = {hn::Mul(w, vx), hn::Mul(w, vy), hn::Mul(w, vz)};
            for (std::size_t c = 0; c < 3; ++c) {
                double* a_re = acc + 2 * c * n_packed * L;
                double* a_im = a_re + n_packed * L;
                for (std::size_t i = 0; i < n_packed * L; i += L) {
                    hn::StoreU(hn::MulAdd(strength[c], hn::LoadU(d, r_re + i), hn::LoadU(d, a_re + i)), d, a_re + i);
                    hn::StoreU(hn::NegMulAdd(strength[c], hn::LoadU(d, r_im + i), hn::LoadU(d, a_im + i)), d, a_im + i);
                }
            }
        }
    }
    // Lanes summed in order into the real layout.
    const std::size_t count = real_count(order);
    for (std::size_t c = 0; c < comps; ++c) {
        const double* a_re = acc + 2 * c * n_packed * L;
        const double* a_im = a_re + n_packed * L;
        double* out = multipole + c * count;
        for (std::size_t n = 0; n <= order; ++n) {
            for (std::size_t m = 0; m <= n; ++m) {
                double s_re = 0.0, s_im = 0.0;
                for (std::size_t l = 0; l < L; ++l) {
                    s_re += a_re[packed(n, m) * L + l];
                    s_im += a_im[packed(n, m) * L + l];
                }
                out[real_index(n, m, false)] = s_re;
                if (m > 0) out[real_index(n, m, true)] = s_im;
            }
        }
    }
    corvane::HWY_NAMESPACE::leave_vector_code();
}

// Sums of a local expansion at the lanes' points: the potential
// sum conj(L_n^m) R_n^m and its gradient in normalised coordinates.
template <class D>
struct LocalSums {
    hn::Vec<D> potential, gx, gy, gz;
};

template <class D>
HWY_INLINE LocalSums<D> local_sums(D d, std::size_t order, const double* local, const double* re, const double* im,
                                   bool need_potential) {
    const std::size_t L = hn::Lanes(d);
    auto pot = hn::Zero(d), gz = hn::Zero(d), gp_re = hn::Zero(d), gp_im = hn::Zero(d);
    const auto two = hn::Set(d, 2.0);
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        for (long m = 0; m <= n; ++m) {
            const double l_re = local[real_index(static_cast<std::size_t>(n), static_cast<std::size_t>(m), false)];
            const double l_im = m > 0 ? local[real_index(static_cast<std::size_t>(n), static_cast<std::size_t>(m), true)] : 0.0;
            const auto lr = hn::Set(d, l_re), li = hn::Set(d, l_im);
            const auto weight = m == 0 ? hn::Set(d, 1.0) : two;
            if (need_potential) {
                // Re(conj(L) R) = Lr Rr + Li Ri, twice for m > 0 (m and -m).
                const std::size_t at = packed(static_cast<std::size_t>(n), static_cast<std::size_t>(m)) * L;
                pot = hn::MulAdd(weight, hn::Add(hn::Mul(lr, hn::LoadU(d, re + at)), hn::Mul(li, hn::LoadU(d, im + at))), pot);
            }
            if (n == 0) continue;
            // dz: conj(L_n^m) R_{n-1}^m, both signs of m.
            if (m <= n - 1) {
                const auto a = get(d, re, im, n - 1, m);
                gz = hn::MulAdd(weight, hn::Add(hn::Mul(lr, a.re), hn::Mul(li, a.im)), gz);
            }
            // dx + i dy: -sum_{m>=0} conj(L^m) R_{n-1}^{m+1} + sum_{m>=1} L^m conj(R_{n-1}^{m-1}).
            if (m + 1 <= n - 1) {
                const auto u = get(d, re, im, n - 1, m + 1);
                gp_re = hn::Sub(gp_re, hn::Add(hn::Mul(lr, u.re), hn::Mul(li, u.im)));
                gp_im = hn::Sub(gp_im, hn::Sub(hn::Mul(lr, u.im), hn::Mul(li, u.re)));
            }
            if (m >= 1) {
                const auto v = get(d, re, im, n - 1, m - 1);
                gp_re = hn::Add(gp_re, hn::Add(hn::Mul(lr, v.re), hn::Mul(li, v.im)));
                gp_im = hn::Add(gp_im, hn::Sub(hn::Mul(li, v.re), hn::Mul(lr, v.im)));
            }
        }
    }
    return {pot, gp_re, gp_im, gz};
}

// Sums of a multipole expansion at the lanes' points (irregular harmonics up
// to order + 1 in re/im): sum M_n^m I_n^m and its gradient.
template <class D>
HWY_INLINE LocalSums<D> multipole_sums(D d, std::size_t order, const double* multipole, const double* re,
                                       const double* im, bool need_potential) {
    auto pot = hn::Zero(d), gz = hn::Zero(d), gp_re = hn::Zero(d), gp_im = hn::Zero(d);
    const auto two = hn::Set(d, 2.0);
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        for (long m = 0; m <= n; ++m) {
            const double m_re = multipole[real_index(static_cast<std::size_t>(n), static_cast<std::size_t>(m), false)];
            const double m_im = m > 0 ? multipole[real_index(static_cast<std::size_t>(n), static_cast<std::size_t>(m), true)] : 0.0;
            const auto mr = hn::Set(d, m_re), mi = hn::Set(d, m_im);
            const auto weight = m == 0 ? hn::Set(d, 1.0) : two;
            // Re(M I) = Mr Ir - Mi Ii, twice for m > 0 (m and -m).
            if (need_potential) {
                const auto a = get(d, re, im, n, m);
                pot = hn::MulAdd(weight, hn::Sub(hn::Mul(mr, a.re), hn::Mul(mi, a.im)), pot);
            }
            // dz: -sum M_n^m I_{n+1}^m, both signs of m.
            const auto z = get(d, re, im, n + 1, m);
            gz = hn::NegMulAdd(weight, hn::Sub(hn::Mul(mr, z.re), hn::Mul(mi, z.im)), gz);
            // dx + i dy: -sum_{m>=0} M^m I_{n+1}^{m+1} + sum_{m>=1} conj(M^m I_{n+1}^{m-1}).
            const auto u = get(d, re, im, n + 1, m + 1);
            gp_re = hn::Sub(gp_re, hn::Sub(hn::Mul(mr, u.re), hn::Mul(mi, u.im)));
            gp_im = hn::Sub(gp_im, hn::Add(hn::Mul(mr, u.im), hn::Mul(mi, u.re)));
            if (m >= 1) {
                const auto v = get(d, re, im, n + 1, m - 1);
                gp_re = hn::Add(gp_re, hn::Sub(hn::Mul(mr, v.re), hn::Mul(mi, v.im)));
                gp_im = hn::Sub(gp_im, hn::Add(hn::Mul(mr, v.im), hn::Mul(mi, v.re)));
            }
        }
    }
    return {pot, gp_re, gp_im, gz};
}

// The field of an expansion at the targets, in lanes: a local expansion
// through the regular harmonics of (r - c) / w, a multipole expansion
// through the irregular ones (its targets must lie outside the sphere of its
// sources). With the sums S of each component, the potential is S / w^a and
// its gradient grad S / w^(a + 1): a = 0 for a local, 1 for a multipole.
template <bool kMultipole>
void EvaluateAtTargets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                       const double* expansion, const double* x, const double* y, const double* z,
                       std::size_t n_targets, double* out, std::vector<double>& scratch) {
    using D = DFull;
    const D d;
    const std::size_t L = hn::Lanes(d);
    const std::size_t degree = kMultipole ? order + 1 : order;  // the gradient of I_n needs I_{n+1}
    const std::size_t n_packed = packed_count(degree), count = real_count(order);
    scratch.resize(2 * n_packed * L);
    double* h_re = scratch.data();
    double* h_im = h_re + n_packed * L;
    const double inv_w = 1.0 / width;
    const double potential_scale = kMultipole ? inv_w : 1.0, gradient_scale = potential_scale * inv_w;
    const auto sums = [&](std::size_t c, bool potential) HWY_ATTR {
        const double* e = expansion + c * count;
        return kMultipole ? multipole_sums(d, order, e, h_re, h_im, potential)
                          : local_sums(d, order, e, h_re, h_im, potential);
    };
    HWY_ALIGN double lane[3][16], result[3][16];
    for (std::size_t first = 0; first < n_targets; first += L) {
        // Lanes past the last target sit one width from the centre: finite, unused.
        for (std::size_t l = 0; l < L; ++l) {
            const bool used = first + l < n_targets;
            lane[0][l] = used ? x[first + l] : centre.x + width;
            lane[1][l] = used ? y[first + l] : centre.y;
            lane[2][l] = used ? z[first + l] : centre.z;
        }
        const auto iw = hn::Set(d, inv_w);
        const auto bx = hn::Mul(hn::Sub(hn::Load(d, lane[0]), hn::Set(d, centre.x)), iw);
        const auto by = hn::Mul(hn::Sub(hn::Load(d, lane[1]), hn::Set(d, centre.y)), iw);
        const auto bz = hn::Mul(hn::Sub(hn::Load(d, lane[2]), hn::Set(d, centre.z)), iw);
        if (kMultipole) {
            irregular(d, degree, bx, by, bz, h_re, h_im);
        } else {
            regular(d, degree, bx, by, bz, h_re, h_im);
        }
        hn::Vec<D> f[3];
        if (kind.dipole()) {
            // H = -grad phi
            const LocalSums<D> s = sums(0, false);
            const auto k = hn::Set(d, -gradient_scale);
            f[0] = hn::Mul(k, s.gx), f[1] = hn::Mul(k, s.gy), f[2] = hn::Mul(k, s.gz);
        } else if (!kind.curl()) {
            const auto k = hn::Set(d, 1e-7 * potential_scale);
            for (std::size_t c = 0; c < 3; ++c) f[c] = hn::Mul(k, sums(c, true).potential);
        } else {
            const LocalSums<D> sx = sums(0, false), sy = sums(1, false), sz = sums(2, false);
            const auto k = hn::Set(d, kind.curl_constant() * gradient_scale);
            f[0] = hn::Mul(k, hn::Sub(sz.gy, sy.gz));
            f[1] = hn::Mul(k, hn::Sub(sx.gz, sz.gx));
            f[2] = hn::Mul(k, hn::Sub(sy.gx, sx.gy));
        }
        for (std::size_t c = 0; c < 3; ++c) hn::Store(f[c], d, result[c]);
        for (std::size_t l = 0; l < L && first + l < n_targets; ++l)
            for (std::size_t c = 0; c < 3; ++c) out[3 * (first + l) + c] += result[c][l];
    }
    corvane::HWY_NAMESPACE::leave_vector_code();
}

void LocalToTargets(const Kind& kind, std::size_t order, const Vec3& centre, double width, const double* local,
                    const double* x, const double* y, const double* z, std::size_t n_targets, double* out,
                    std::vector<double>& scratch) {
    EvaluateAtTargets<false>(kind, order, centre, width, local, x, y, z, n_targets, out, scratch);
}

void MultipoleToTargets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                        const double* multipole, const double* x, const double* y, const double* z,
                        std::size_t n_targets, double* out, std::vector<double>& scratch) {
    EvaluateAtTargets<true>(kind, order, centre, width, multipole, x, y, z, n_targets, out, scratch);
}

void RegularHarmonicsOf(const Vec3& v, std::size_t order, double* re, double* im) {
    const hn::CappedTag<double, 1> d;
    regular(d, order, hn::Set(d, v.x), hn::Set(d, v.y), hn::Set(d, v.z), re, im);
}

}  // namespace HWY_NAMESPACE
}  // namespace corvane::fmm
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace corvane::fmm {

HWY_EXPORT(PointsToMultipole);
HWY_EXPORT(LocalToTargets);
HWY_EXPORT(RegularHarmonicsOf);
HWY_EXPORT(MultipoleToTargets);

void multipole_to_targets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                          std::span<const double> multipole, const double* x, const double* y, const double* z,
                          std::size_t n_targets, double* out, std::vector<double>& scratch) {
    HWY_DYNAMIC_DISPATCH(MultipoleToTargets)(kind, order, centre, width, multipole.data(), x, y, z, n_targets, out,
                                             scratch);
}

void points_to_multipole(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                         const SourceBatch& points, std::span<double> multipole, std::vector<double>& scratch) {
    HWY_DYNAMIC_DISPATCH(PointsToMultipole)(kind, order, centre, width, points, multipole.data(), scratch);
}

void local_to_targets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                      std::span<const double> local, const double* x, const double* y, const double* z,
                      std::size_t n_targets, double* out, std::vector<double>& scratch) {
    HWY_DYNAMIC_DISPATCH(LocalToTargets)(kind, order, centre, width, local.data(), x, y, z, n_targets, out, scratch);
}

void regular_harmonics_of(const Vec3& v, std::size_t order, double* re, double* im) {
    HWY_DYNAMIC_DISPATCH(RegularHarmonicsOf)(v, order, re, im);
}

}  // namespace corvane::fmm
#endif  // HWY_ONCE
