// Maxwell stress tensor and surface traction forces.
#include "mesh/maxwell_stress.hpp"

#include <cmath>

namespace corvane {

StressTensor maxwell_stress(Vec3 b) {
    // 1/μ0 for μ0 = 4π·10⁻⁷.
    constexpr double k = 795774.7154594767;
    const double norm = std::sqrt(std::fma(b.x, b.x, std::fma(b.y, b.y, b.z * b.z)));
    const double s = norm * (0.5 * norm);
    const double v[3] = {b.x, b.y, b.z};
    StressTensor out;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out.t[i][j] = i == j ? (v[i] * v[i] - s) * k : v[i] * v[j] * k;
    return out;
}

std::vector<double> surface_forces(std::span<const double> areas, std::span<const double> normals,
                                   std::span<const double> b_field) {
    const std::size_t n_faces = areas.size();
    assert_equal(n_faces, normals.size() / 3);
    assert_equal(n_faces, b_field.size() / 3);
    std::vector<double> forces(3 * n_faces, 0.0);
    for (std::size_t i = 0; i < n_faces; ++i) {
        const double* n = normals.data() + 3 * i;
        const double* b = b_field.data() + 3 * i;
        const StressTensor stress = maxwell_stress(Vec3{b[0], b[1], b[2]});
        for (int r = 0; r < 3; ++r) {
            const double* row = stress.t[r];
            const double traction = (n[0] * row[0] + n[1] * row[1]) + n[2] * row[2];
            forces[3 * i + r] = areas[i] * traction;
        }
    }
    return forces;
}

}  // namespace corvane
