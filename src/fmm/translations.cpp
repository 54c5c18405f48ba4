// Translation matrices from the addition theorems of the solid harmonics:
//   R_n^m(a + b) = sum_{k,l} R_k^l(a) R_{n-k}^{m-l}(b),
//   I_n^m(a - b) = sum_{k,l} conj(R_k^l(b)) I_{n+k}^{m+l}(a)   (|b| < |a|).
// With M_n^m = sum_j q_j conj(R_n^m(s_j - c)), potential sum M_n^m I_n^m(r - c),
// and L_n^m = sum_j q_j I_n^m(s_j - c), potential sum conj(L_n^m) R_n^m(r - c).
#include "fmm/translations.hpp"

#include <algorithm>
#include <cmath>

#include "fmm/harmonics.hpp"

namespace corvane::fmm {
namespace {

using Coefficients = std::vector<Complex>;

// Builds a matrix column by column: each real basis vector of the input
// expansion, as packed complex coefficients, through `apply`, which is told
// the one degree (floor(sqrt(c)) for column c) where the input is not zero
// and skips the terms of the others, which are zero: O(p^3) per column
// instead of O(p^4).
template <class Apply>
Matrix by_columns(std::size_t order, const Apply& apply) {
    const std::size_t n_real = real_count(order), n_packed = packed_count(order);
    Matrix out{n_real, n_real, std::vector<double>(n_real * n_real)};
    std::vector<double> basis(n_real, 0.0);
    Coefficients in(n_packed), result(n_packed);
    for (std::size_t c = 0; c < n_real; ++c) {
        basis.assign(n_real, 0.0);
        basis[c] = 1.0;
        to_complex(basis, order, in);
        long degree = 0;
        while (static_cast<std::size_t>((degree + 1) * (degree + 1)) <= c) ++degree;
        apply(in, degree, result);
        to_real(result, order, std::span<double>(out.values.data() + c * n_real, n_real));
    }
    return out;
}

double power(double base, std::size_t exponent) {
    double r = 1.0;
    for (std::size_t i = 0; i < exponent; ++i) r *= base;
    return r;
}

}  // namespace

Matrix multipole_to_multipole(std::size_t order, const Vec3& shift) {
    Coefficients r(packed_count(order));
    regular_harmonics(shift, order, r);
    return by_columns(order, [&](const Coefficients& m, long degree, Coefficients& out) {
        for (long n = 0; n <= static_cast<long>(order); ++n) {
            for (long k = 0; k <= n; ++k) {
                out[packed(n, k)] = 0.0;
                // M'_n^k = sum_{j,l} conj(R_j^l(shift)) M_{n-j}^{k-l} 2^{-(n-j)},
                // of which only j = n - degree is not zero.
                const long j = n - degree;
                if (j < 0) continue;
                const double scale = power(0.5, static_cast<std::size_t>(n - j));
                for (long l = -j; l <= j; ++l) {
                    out[packed(n, k)] += std::conj(harmonic(r, j, l)) * harmonic(m, n - j, k - l) * scale;
                }
            }
        }
    });
}

Matrix local_to_local(std::size_t order, const Vec3& shift) {
    Coefficients r(packed_count(order));
    regular_harmonics(shift, order, r);
    return by_columns(order, [&](const Coefficients& l_in, long degree, Coefficients& out) {
        for (long k = 0; k <= static_cast<long>(order); ++k) {
            const double scale = power(0.5, static_cast<std::size_t>(k));
            for (long l = 0; l <= k; ++l) {
                Complex sum = 0.0;
                // L'_k^l = 2^{-k} sum_{n >= k, m} L_n^m conj(R_{n-k}^{m-l}(shift)),
                // of which only n = degree is not zero.
                for (long n = std::max(k, degree); n <= degree; ++n) {
                    for (long m = -n; m <= n; ++m) sum += harmonic(l_in, n, m) * std::conj(harmonic(r, n - k, m - l));
                }
                out[packed(k, l)] = sum * scale;
            }
        }
    });
}

Matrix multipole_to_local(std::size_t order, const Vec3& offset, double ratio) {
    Coefficients irr(packed_count(2 * order));
    irregular_harmonics(offset, 2 * order, irr);
    const std::size_t n_real = real_count(order);
    Matrix out{n_real, n_real, std::vector<double>(n_real * n_real)};
    // L_j^k = sum_{n,m} (-1)^n ratio^n M_n^m I_{j+n}^{k+m}(offset); a column
    // is the real or imaginary part of M_n^m, with M_n^{-m} = (-1)^m conj(M_n^m).
    for (long n = 0; n <= static_cast<long>(order); ++n) {
        const double sign_scale = (n % 2 == 0 ? 1.0 : -1.0) * power(ratio, static_cast<std::size_t>(n));
        for (long m = 0; m <= n; ++m) {
            const double parity = (m % 2 == 0) ? 1.0 : -1.0;
            for (int part = 0; part < (m == 0 ? 1 : 2); ++part) {
                const std::size_t c = real_index(static_cast<std::size_t>(n), static_cast<std::size_t>(m), part == 1);
                double* column = out.values.data() + c * n_real;
                for (long j = 0; j <= static_cast<long>(order); ++j) {
                    for (long k = 0; k <= j; ++k) {
                        Complex value;
                        if (m == 0) {
                            value = harmonic(irr, j + n, k);
                        } else if (part == 0) {
                            value = harmonic(irr, j + n, k + m) + parity * harmonic(irr, j + n, k - m);
                        } else {
                            value = Complex(0.0, 1.0) * (harmonic(irr, j + n, k + m) - parity * harmonic(irr, j + n, k - m));
                        }
                        value *= sign_scale;
                        const std::size_t row = real_index(static_cast<std::size_t>(j), static_cast<std::size_t>(k), false);
                        column[row] = value.real();
                        if (k > 0) column[row + 1] = value.imag();
                    }
                }
            }
        }
    }
    return out;
}

}  // namespace corvane::fmm
