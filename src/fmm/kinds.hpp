// The four source/field pairs of an operator and what their expansions carry.
#pragma once

#include <cstddef>

namespace corvane::fmm {

// 1/(4 pi), rounded to the nearest double.
inline constexpr double INV_4PI = 0.07957747154594767;

enum class Source { Magnetization, Current };
enum class Field { H, A };

struct Kind {
    Source source;
    Field field;

    // H of a magnetisation is the gradient of one scalar potential (of the
    // dipole density); the other three come from the three potentials
    // sum(v_i / r): A of a current density is 1e-7 times them, H of a current
    // density 1/(4 pi) times their curl, A of a magnetisation 1e-7 times it.
    bool dipole() const { return source == Source::Magnetization && field == Field::H; }
    std::size_t components() const { return dipole() ? 1 : 3; }
    bool curl() const { return !dipole() && !(source == Source::Current && field == Field::A); }
    double curl_constant() const { return source == Source::Current ? INV_4PI : 1e-7; }

    // Values of one (target, element) interaction: a symmetric 3x3 matrix
    // (xx, yy, zz, xy, xz, yz) for H of a magnetisation, a vector c with the
    // contribution c x v for the curl kinds, a factor of v for A of a
    // current density.
    std::size_t entry_size() const { return dipole() ? 6 : curl() ? 3 : 1; }
};

}  // namespace corvane::fmm
