// Maxwell stress of a flux density and the resulting force on boundary faces.
#pragma once

#include <span>
#include <vector>

#include "math/vec3.hpp"

namespace corvane {

// Symmetric 3×3 stress tensor (Pa), rows and columns x, y, z.
struct StressTensor {
    double t[3][3];
};

// T = (B Bᵀ − ½|B|² I) / μ0 for a flux density B in tesla.
StressTensor maxwell_stress(Vec3 b);

// Force (N) on face i: area[i] · T(B_i) · n_i, as flat triples. `normals`
// and `b_field` are flat triples, a remainder ignored; the face count must
// equal the normal count, then the B count (equality assertions).
std::vector<double> surface_forces(std::span<const double> areas, std::span<const double> normals,
                                   std::span<const double> b_field);

}  // namespace corvane
