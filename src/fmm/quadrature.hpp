// Symmetric quadrature rules on the tetrahedron with positive weights.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace corvane::fmm {

// A point in barycentric coordinates (one per vertex) with its weight; the
// weights of a rule sum to 1 (multiply by the volume).
struct QuadraturePoint {
    std::array<double, 4> barycentric;
    double weight;
};

// The rule with the fewest points that integrates every polynomial of the
// given degree exactly (of those here): degree 1 (the centroid), 2 (4
// points), 5 (14; degrees 3 and 4 take it too), 7 (35; and 6) or 9 (59; and 8).
std::span<const QuadraturePoint> tetrahedron_rule(std::size_t degree);

// The conical product of Gauss-Jacobi rules of degree 9 (125 points): more
// points than tetrahedron_rule(9), but smaller errors beyond the degree.
std::span<const QuadraturePoint> product_rule(std::size_t degree);

}  // namespace corvane::fmm
