// Solid harmonics by their three-term recurrences in Cartesian form.
#include "fmm/harmonics.hpp"

#include <cmath>
#include <vector>

#include "fmm/expansions.hpp"

namespace corvane::fmm {

void regular_harmonics(const Vec3& v, std::size_t order, std::span<Complex> out) {
    std::vector<double> re(packed_count(order)), im(packed_count(order));
    regular_harmonics_of(v, order, re.data(), im.data());
    for (std::size_t i = 0; i < re.size(); ++i) out[i] = Complex(re[i], im[i]);
}

void irregular_harmonics(const Vec3& v, std::size_t order, std::span<Complex> out) {
    const double r2 = (v.x * v.x + v.y * v.y) + v.z * v.z;
    const double inv_r2 = 1.0 / r2;
    const Complex xy(v.x, v.y);
    out[0] = 1.0 / std::sqrt(r2);
    for (std::size_t m = 0; m <= order; ++m) {
        // I_m^m = (2m - 1)(x + iy)/r^2 I_{m-1}^{m-1}; I_{m+1}^m = (2m + 1) z/r^2 I_m^m;
        // I_n^m = ((2n - 1) z I_{n-1}^m - (n + m - 1)(n - m - 1) I_{n-2}^m) / r^2.
        if (m > 0) out[packed(m, m)] = out[packed(m - 1, m - 1)] * xy * (static_cast<double>(2 * m - 1) * inv_r2);
        if (m + 1 <= order) out[packed(m + 1, m)] = (static_cast<double>(2 * m + 1) * v.z * inv_r2) * out[packed(m, m)];
        for (std::size_t n = m + 2; n <= order; ++n) {
            const double a = static_cast<double>(2 * n - 1), b = static_cast<double>((n + m - 1) * (n - m - 1));
            out[packed(n, m)] = (a * v.z * out[packed(n - 1, m)] - b * out[packed(n - 2, m)]) * inv_r2;
        }
    }
}

void to_real(std::span<const Complex> packed_values, std::size_t order, std::span<double> real) {
    for (std::size_t n = 0; n <= order; ++n) {
        real[real_index(n, 0, false)] = packed_values[packed(n, 0)].real();
        for (std::size_t m = 1; m <= n; ++m) {
            real[real_index(n, m, false)] = packed_values[packed(n, m)].real();
            real[real_index(n, m, true)] = packed_values[packed(n, m)].imag();
        }
    }
}

void to_complex(std::span<const double> real, std::size_t order, std::span<Complex> packed_values) {
    for (std::size_t n = 0; n <= order; ++n) {
        packed_values[packed(n, 0)] = Complex(real[real_index(n, 0, false)], 0.0);
        for (std::size_t m = 1; m <= n; ++m) {
            packed_values[packed(n, m)] = Complex(real[real_index(n, m, false)], real[real_index(n, m, true)]);
        }
    }
}

}  // namespace corvane::fmm
