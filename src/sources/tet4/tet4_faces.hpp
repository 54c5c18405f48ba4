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
// the scalar factor repeated in all three components).
struct Tet4Face {
    FaceFrame frame;
    double l1, l2, l3;
    Vec3 k;
};

using Tet4Faces = std::array<Tet4Face, 4>;

// An element as a kernel call uses it: its nodes and its four faces.
struct Tet4Element {
    std::array<Vec3, 4> nodes;
    Tet4Faces faces;
};

// The four kernels: A or H of a magnetisation or of a current density.
enum class Tet4Kind { AFromM, HFromM, AFromJ, HFromJ };

// How a kernel call walks its targets: full vectors with a one-lane tail,
// one lane throughout (the scalar path), or one face at a time over all
// targets (for outputs that overlap other lists).
enum class Tet4Sweep { Vector, OneLane, FaceByFace };

}  // namespace corvane
