// Gradient of a field that is linear over a tetrahedron, from its values at
// the four nodes.
#pragma once

#include <array>
#include <span>

#include "math/vec3.hpp"

namespace corvane {

// G (rows x, y, z) maps the nodal differences (f1 − f0, f2 − f0, f3 − f0) of
// a linear field to its gradient: the inverse transpose of [p1−p0, p2−p0,
// p3−p0]. A flat element gives non-finite entries.
struct TetGradientOperator {
    double g[3][3];
};

TetGradientOperator tet_gradient_operator(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3);

// (f[k1] − f[k0], f[k2] − f[k0], f[k3] − f[k0]); the indices are tested
// against f.size() in the order k1, k0, k2, k3.
std::array<double, 3> nodal_differences(std::span<const double> f, const Tet& k);

// G · d.
Vec3 apply_gradient(const TetGradientOperator& op, const std::array<double, 3>& d);

}  // namespace corvane
