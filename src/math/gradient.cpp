// The nodal gradient operator of a tetrahedron and its application.
#include "math/gradient.hpp"

namespace corvane {

TetGradientOperator tet_gradient_operator(Vec3 p0, Vec3 p1, Vec3 p2, Vec3 p3) {
    const Vec3 a = p1 - p0, b = p2 - p0, c = p3 - p0;
    const Vec3 bc{b.y * c.z - b.z * c.y, b.z * c.x - b.x * c.z, b.x * c.y - b.y * c.x};
    const Vec3 ca{a.z * c.y - a.y * c.z, a.x * c.z - a.z * c.x, c.x * a.y - a.x * c.y};
    const Vec3 ab{b.z * a.y - b.y * a.z, a.z * b.x - a.x * b.z, b.y * a.x - a.y * b.x};
    const double t1 = (b.y * a.x) * c.z;
    const double t2 = a.z * (c.y * b.x);
    const double t3 = b.z * (c.x * a.y);
    const double t4 = (c.x * b.y) * a.z;
    const double t5 = (a.y * b.x) * c.z;
    const double t6 = b.z * (a.x * c.y);
    const double det = ((((t1 + t2) + t3) - t4) - t5) - t6;
    const double r = 1.0 / det;
    return {{{bc.x * r, ca.x * r, ab.x * r}, {bc.y * r, ca.y * r, ab.y * r}, {bc.z * r, ca.z * r, ab.z * r}}};
}

std::array<double, 3> nodal_differences(std::span<const double> f, const Tet& k) {
    check_index(k[1], f.size());
    check_index(k[0], f.size());
    check_index(k[2], f.size());
    check_index(k[3], f.size());
    const double f0 = f[k[0]];
    return {f[k[1]] - f0, f[k[2]] - f0, f[k[3]] - f0};
}

Vec3 apply_gradient(const TetGradientOperator& op, const std::array<double, 3>& d) {
    const auto& g = op.g;
    return {(g[0][0] * d[0] + g[0][1] * d[1]) + g[0][2] * d[2], (g[1][0] * d[0] + g[1][1] * d[1]) + g[1][2] * d[2],
            (g[2][0] * d[0] + g[2][1] * d[1]) + g[2][2] * d[2]};
}

}  // namespace corvane
