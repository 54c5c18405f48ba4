// Points to multipoles and locals to targets through the regular harmonics
// and their ladders: dz R_n^m = R_{n-1}^m, (dx + i dy) R_n^m = -R_{n-1}^{m+1},
// (dx - i dy) R_n^m = R_{n-1}^{m-1}.
#include "fmm/expansions.hpp"

#include <array>

#include "fmm/harmonics.hpp"

namespace corvane::fmm {
namespace {

constexpr std::size_t MAX_ORDER = 24;
constexpr double INV_4PI = 0.07957747154594767;

using Packed = std::array<Complex, (MAX_ORDER + 1) * (MAX_ORDER + 2) / 2>;

Vec3 scaled(const Vec3& v, const Vec3& centre, double width) {
    const double s = 1.0 / width;
    return {(v.x - centre.x) * s, (v.y - centre.y) * s, (v.z - centre.z) * s};
}

void add(std::span<double> real, std::size_t n, std::size_t m, Complex value) {
    real[real_index(n, m, false)] += value.real();
    if (m > 0) real[real_index(n, m, true)] += value.imag();
}

// sum over n, m (all signs) of conj(L_n^m) X_n^m and the gradient terms.
struct LocalSums {
    double potential = 0.0;
    Vec3 gradient;  // in normalised coordinates
};

LocalSums local_sums(std::size_t order, std::span<const double> local, std::span<const Complex> r,
                     bool need_potential) {
    Packed l_packed;
    const std::span<Complex> l(l_packed.data(), packed_count(order));
    to_complex(local, order, l);
    LocalSums s;
    Complex plus = 0.0;
    double dz = 0.0;
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        for (long m = -n; m <= n; ++m) {
            const Complex cl = std::conj(harmonic(l, n, m));
            if (need_potential) s.potential += (cl * harmonic(r, n, m)).real();
            if (n > 0) {
                dz += (cl * harmonic(r, n - 1, m)).real();
                plus -= cl * harmonic(r, n - 1, m + 1);
            }
        }
    }
    s.gradient = {plus.real(), plus.imag(), dz};
    return s;
}

}  // namespace

void add_point_to_multipole(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                            const SourcePoint& point, std::span<double> multipole) {
    Packed r_packed;
    const std::span<Complex> r(r_packed.data(), packed_count(order));
    regular_harmonics(scaled(point.position, centre, width), order, r);
    const std::size_t count = real_count(order);
    const Vec3& v = point.vector;
    if (kind.dipole()) {
        // conj(v . grad R_n^m) / w with the dipole potential's 1/(4 pi).
        const double s = point.weight * INV_4PI / width;
        const Complex minus_half(0.5 * v.x, -0.5 * v.y), plus_half(0.5 * v.x, 0.5 * v.y);
        for (long n = 1; n <= static_cast<long>(order); ++n) {
            for (long m = 0; m <= n; ++m) {
                const Complex g = v.z * harmonic(r, n - 1, m) - minus_half * harmonic(r, n - 1, m + 1) +
                                  plus_half * harmonic(r, n - 1, m - 1);
                add(multipole, static_cast<std::size_t>(n), static_cast<std::size_t>(m), std::conj(g) * s);
            }
        }
        return;
    }
    const double strength[3] = {point.weight * v.x, point.weight * v.y, point.weight * v.z};
    for (std::size_t c = 0; c < 3; ++c) {
        const std::span<double> out = multipole.subspan(c * count, count);
        for (std::size_t n = 0; n <= order; ++n) {
            for (std::size_t m = 0; m <= n; ++m) add(out, n, m, std::conj(r[packed(n, m)]) * strength[c]);
        }
    }
}

void add_local_to_target(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                         std::span<const double> local, const Vec3& target, Vec3& out) {
    Packed r_packed;
    const std::span<Complex> r(r_packed.data(), packed_count(order));
    regular_harmonics(scaled(target, centre, width), order, r);
    const std::size_t count = real_count(order);
    const double inv_w = 1.0 / width;
    if (kind.dipole()) {
        const LocalSums s = local_sums(order, local, r, false);
        out = out - s.gradient * inv_w;  // H = -grad phi
        return;
    }
    LocalSums s[3];
    for (std::size_t c = 0; c < 3; ++c) s[c] = local_sums(order, local.subspan(c * count, count), r, !kind.curl());
    if (!kind.curl()) {
        out = out + Vec3{s[0].potential, s[1].potential, s[2].potential} * 1e-7;
        return;
    }
    const Vec3 gx = s[0].gradient * inv_w, gy = s[1].gradient * inv_w, gz = s[2].gradient * inv_w;
    const Vec3 curl{gz.y - gy.z, gx.z - gz.x, gy.x - gx.y};
    out = out + curl * kind.curl_constant();
}

}  // namespace corvane::fmm
