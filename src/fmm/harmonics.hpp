// Solid harmonics of the Laplace expansions: regular R_n^m = r^n P_n^m(cos t)
// e^{im phi} / (n + m)! and irregular I_n^m = (n - m)! P_n^m(cos t) e^{im phi} /
// r^{n+1} (no Condon-Shortley phase), with X_n^{-m} = (-1)^m conj(X_n^m). They
// satisfy 1/|a - b| = sum_{n,m} conj(R_n^m(b)) I_n^m(a) for |b| < |a|, and
// the ladders dz R_n^m = R_{n-1}^m, (dx + i dy) R_n^m = -R_{n-1}^{m+1},
// (dx - i dy) R_n^m = R_{n-1}^{m-1}.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "math/vec3.hpp"

namespace corvane::fmm {

using Complex = std::complex<double>;

// Coefficients of degree 0..order with m >= 0, packed as n (n + 1) / 2 + m.
inline std::size_t packed_count(std::size_t order) { return (order + 1) * (order + 2) / 2; }
inline std::size_t packed(std::size_t n, std::size_t m) { return n * (n + 1) / 2 + m; }

// Real coefficient vectors of an expansion of order p hold (p + 1)^2 values:
// per degree n, Re X_n^0, then Re X_n^m, Im X_n^m for m = 1..n.
inline std::size_t real_count(std::size_t order) { return (order + 1) * (order + 1); }
inline std::size_t real_index(std::size_t n, std::size_t m, bool imaginary) {
    return m == 0 ? n * n : n * n + 2 * m - 1 + (imaginary ? 1 : 0);
}

// R_n^m(v) for n <= order, m >= 0, into out (packed_count(order) values).
void regular_harmonics(const Vec3& v, std::size_t order, std::span<Complex> out);
// I_n^m(v) likewise; v must not be 0.
void irregular_harmonics(const Vec3& v, std::size_t order, std::span<Complex> out);

// X_n^m of a packed list for any m with |m| <= n (zero when |m| > n).
inline Complex harmonic(std::span<const Complex> x, long n, long m) {
    if (n < 0 || m > n || -m > n) return {0.0, 0.0};
    if (m >= 0) return x[packed(static_cast<std::size_t>(n), static_cast<std::size_t>(m))];
    const Complex c = std::conj(x[packed(static_cast<std::size_t>(n), static_cast<std::size_t>(-m))]);
    return (m % 2 == 0) ? c : -c;
}

// Packed complex coefficients (m >= 0) to the real layout and back; the
// coefficients of negative m follow from X_n^{-m} = (-1)^m conj(X_n^m).
void to_real(std::span<const Complex> packed_values, std::size_t order, std::span<double> real);
void to_complex(std::span<const double> real, std::size_t order, std::span<Complex> packed_values);

}  // namespace corvane::fmm
