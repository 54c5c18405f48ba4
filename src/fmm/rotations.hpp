// Multipole-to-local translation in three steps: rotate the multipole so that
// the offset runs along +z, translate along the axis, where only coefficients
// of one order m meet, and rotate the local back. About (p+1)^3 operations
// per translation instead of (p+1)^4 for the full matrix.
#pragma once

#include <cstddef>
#include <vector>

#include "fmm/harmonics.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// Real matrices of one translation of order p (layouts of harmonics.hpp).
// A rotation of the harmonics is a turn about z, which multiplies X^m by a
// phase e^{i m angle}, and a real matrix, which takes real parts to real parts
// and imaginary parts to imaginary parts (X^{-m} = (-1)^m conj(X^m)): per
// degree n, an (n+1)-square matrix over orders 0..n and an n-square one over
// orders 1..n, half the products of the (2n+1)-square matrix of the whole.
struct AxialTranslation {
    std::size_t order = 0;
    // The input expansion's phases (per order m = 0..p: cos and sin of m
    // times the turn's angle), then per degree the real-part and
    // imaginary-part matrices, by columns, into the rotated frame.
    std::vector<double> in_cos, in_sin;
    std::vector<std::vector<double>> to_real, to_imaginary;
    // Per order m, (p+1-m) x (p+1-m) by columns over degrees m..p: the real
    // parts of the rotated output from those of the rotated input; the
    // imaginary parts take the matrix times imaginary_sign (-1 from a
    // multipole to a local, whose coefficients are conjugated, 1 for shifts).
    std::vector<std::vector<double>> along_axis;
    double imaginary_sign = -1.0;
    // Per degree the matrices out of the rotated frame, then the output's phases.
    std::vector<std::vector<double>> from_real, from_imaginary;
    std::vector<double> out_cos, out_sin;
};

// The translation of multipole_to_local(order, offset, ratio) (translations.hpp)
// in this form; offset must not be 0.
AxialTranslation axial_translation(std::size_t order, const Vec3& offset, double ratio);
// multipole_to_multipole(order, shift) (multipole = true) or
// local_to_local(order, shift) (translations.hpp) in this form; shift must
// not be 0.
AxialTranslation axial_shift(std::size_t order, const Vec3& shift, bool multipole);

// Per degree n <= order, D^n with R_n^m(Q x) = sum_{m'} D^n_{m m'} R_n^{m'}(x) for
// the rotation Q taking `direction` to +z; entry (m, m') of degree n at
// [n][(m + n) * (2n + 1) + (m' + n)].
std::vector<std::vector<Complex>> rotation_matrices(std::size_t order, const Vec3& direction);

}  // namespace corvane::fmm
