// Tetrahedron rules: the centroid; four points of the orbit (a, a, a, 1 - 3a)
// exact to degree 2; fourteen points exact to degree 5 (two such orbits and
// the six points of (b, b, 1/2 - b, 1/2 - b)).
#include "fmm/quadrature.hpp"


#include "lib/failure.hpp"

namespace corvane::fmm {
namespace {

constexpr QuadraturePoint orbit4(double a, double w, std::size_t k) {
    std::array<double, 4> p{a, a, a, a};
    p[k] = 1.0 - 3.0 * a;
    return {p, w};
}

constexpr QuadraturePoint orbit6(double b, double w, std::size_t i, std::size_t j) {
    std::array<double, 4> p{0.5 - b, 0.5 - b, 0.5 - b, 0.5 - b};
    p[i] = b;
    p[j] = b;
    return {p, w};
}

constexpr std::array<QuadraturePoint, 1> CENTROID{{{{0.25, 0.25, 0.25, 0.25}, 1.0}}};

constexpr double A2 = 0.1381966011250105;  // (5 - sqrt 5) / 20
constexpr std::array<QuadraturePoint, 4> DEGREE2{
    {orbit4(A2, 0.25, 0), orbit4(A2, 0.25, 1), orbit4(A2, 0.25, 2), orbit4(A2, 0.25, 3)}};

constexpr double A5 = 0.3108859192633006, W5A = 0.1126879257180159;
constexpr double B5 = 0.0927352503108912, W5B = 0.0734930431163619;
constexpr double C5 = 0.0455037041256496, W5C = 0.0425460207770815;
constexpr std::array<QuadraturePoint, 14> DEGREE5{{
    orbit4(A5, W5A, 0), orbit4(A5, W5A, 1), orbit4(A5, W5A, 2), orbit4(A5, W5A, 3),
    orbit4(B5, W5B, 0), orbit4(B5, W5B, 1), orbit4(B5, W5B, 2), orbit4(B5, W5B, 3),
    orbit6(C5, W5C, 0, 1), orbit6(C5, W5C, 0, 2), orbit6(C5, W5C, 0, 3),
    orbit6(C5, W5C, 1, 2), orbit6(C5, W5C, 1, 3), orbit6(C5, W5C, 2, 3),
}};

}  // namespace

std::span<const QuadraturePoint> tetrahedron_rule(std::size_t degree) {
    if (degree <= 1) return CENTROID;
    if (degree == 2) return DEGREE2;
    if (degree <= 5) return DEGREE5;
    fail("no tetrahedron rule of degree above 5");
}

}  // namespace corvane::fmm
