// Face geometry of a tetrahedron shared by the exact kernels: the face table,
// the frame of each face and the per-face constants of a kernel call.
#pragma once

#include <array>
#include <cstddef>

#include "math/vec3.hpp"

namespace corvane {

// Node indices of the four faces, counter-clockwise seen from outside for a
// positively oriented element, so that face normals point outward.
inline constexpr std::array<std::array<std::size_t, 3>, 4> TET_FACES{{{0, 2, 1}, {0, 3, 2}, {1, 2, 3}, {0, 1, 3}}};

// Frame of the triangle (a, b, c): unit normal n of (b - a) x (c - a), unit
// edge directions t1 = a->b, t2 = b->c, t3 = c->a, and in-plane edge normals
// m_i = n x t_i pointing into the triangle. Degenerate faces are not guarded
// and give non-finite components.
struct FaceFrame {
    Vec3 a, b, c;
    Vec3 n;
    Vec3 t1, t2, t3;
    Vec3 m1, m2, m3;
};

// The frame one face at a time; the kernels form the frames of an element's
// four faces side by side in vector lanes with these same operations.
FaceFrame face_frame(const Vec3& a, const Vec3& b, const Vec3& c);

// One face as a kernel call uses it: frame (without the edge normals for
// H of a magnetisation, which does not use them), edge lengths |b - a|,
// |c - b|, |a - c|, and the kernel's per-face constant (a vector factor, or
// the scalar factor repeated in all three components), and the edge vectors
// b - a, c - b, a - c.
struct Tet4Face {
    FaceFrame frame;
    double l1, l2, l3;
    Vec3 k;
    std::array<Vec3, 3> edges;
};

using Tet4Faces = std::array<Tet4Face, 4>;

// An element as a kernel call uses it: its nodes and its four faces, in
// coordinates multiplied by `scale` (a power of two, see tet4_scale), which
// the targets are multiplied by as they are loaded.
struct Tet4Element {
    std::array<Vec3, 4> nodes;
    Tet4Faces faces;
    double scale = 1.0;
};

// The power of two 2^k in whose coordinates a kernel call evaluates an
// element: 1 when the element's size (the largest coordinate difference from
// node 0 to another node) lies in [2^-5, 2^20) m, where the fixed 1e-16
// guard of the fast arctangent is negligible against the triple products
// (which scale as length cubed); otherwise the power that brings the size into
// [1/2, 1). Multiplying by a power of two is exact, so the results in those
// coordinates are the unscaled ones times a power of two, which the kernel's
// constants take back. Sizes that are zero or not finite get 1.
double tet4_scale(const std::array<Vec3, 4>& nodes);

// The four kernels: A or H of a magnetisation or of a current density.
enum class Tet4Kind { AFromM, HFromM, AFromJ, HFromJ };

// The arctangent and logarithm of a kernel call: the fast ones of
// math/fast_math.hpp (the module functions' results) or the accurate ones of
// math/accurate_math-inl.h with the edge logarithms free of cancellation.
enum class Tet4Math { Fast, Accurate };

// How a kernel call walks its targets: full vectors with a one-lane tail,
// one lane throughout (the scalar path), or one face at a time over all
// targets (for outputs that overlap other lists).
enum class Tet4Sweep { Vector, OneLane, FaceByFace };

}  // namespace corvane
