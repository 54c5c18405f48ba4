// The closed-form field of charged triangles against the field of a charged
// rectangle (two triangles) where that has a closed form: its normal field
// off the plane, and its field in the plane beside an edge, behind an edge's
// end and far away.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "lib/failure.hpp"
#include "mesh/sheet_field.hpp"

namespace corvane {
namespace {

constexpr double B = 0.7, C = 0.4, SIGMA = 2.5;  // half-sides of the rectangle, charge per area

// H of the rectangle [-B, B] x [-C, C] at z = 0, charged SIGMA per area, at the points,
// as the sum of its two counter-clockwise triangles (normal +z).
std::vector<std::array<double, 3>> rectangle_field(const std::vector<std::array<double, 3>>& at) {
    const std::vector<double> corners{-B, -C, 0, B, -C, 0, B, C, 0, -B, -C, 0, B, C, 0, -B, C, 0};
    const std::vector<double> charges(2, SIGMA * 2 * B * C);
    std::vector<double> points;
    for (int copy = 0; copy < 2; ++copy)
        for (const auto& p : at) points.insert(points.end(), p.begin(), p.end());
    const std::vector<double> h = sheet_field(corners, charges, points, at.size(), 1);
    std::vector<std::array<double, 3>> out(at.size());
    for (std::size_t q = 0; q < at.size(); ++q)
        for (int i = 0; i < 3; ++i) out[q][i] = h[3 * q + i] + h[3 * (at.size() + q) + i];
    return out;
}

// In the plane z = 0 outside the rectangle (x > B): σ/4π ∫∫ (p − q)/|p − q|³ dA by the
// inner integrals in closed form.
std::array<double, 3> in_plane(double x, double y) {
    const double k = SIGMA / (4 * std::numbers::pi);
    const double hx = std::asinh((C - y) / (x - B)) + std::asinh((C + y) / (x - B)) -
                      std::asinh((C - y) / (x + B)) - std::asinh((C + y) / (x + B));
    // On the line y = C of an edge, the first two terms' limit is ln((x + B) / (x - B)).
    const double hy = (y == C ? std::log((x + B) / (x - B))
                              : std::asinh((x + B) / std::abs(y - C)) - std::asinh((x - B) / std::abs(y - C))) -
                      std::asinh((x + B) / std::abs(y + C)) + std::asinh((x - B) / std::abs(y + C));
    return {k * hx, k * hy, 0.0};
}

void expect_close(const std::array<double, 3>& got, const std::array<double, 3>& want, double relative) {
    const double scale = std::hypot(want[0], want[1], want[2]);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], relative * scale) << "component " << i;
}

// The solid angle of the rectangle at height z > 0 over (x, y) inside it: the four rectangles
// with a corner at the foot, each atan(ab / (z √(a² + b² + z²))).
double solid_angle(double x, double y, double z) {
    double sum = 0.0;
    for (const double a : {B - x, B + x})
        for (const double b : {C - y, C + y}) sum += std::atan(a * b / (z * std::sqrt(a * a + b * b + z * z)));
    return sum;
}

TEST(SheetField, RectangleAboveAndBelowItsPlane) {
    // Normal to the sheet σ/4π times the solid angle, signed with z: +σ/2 just above the sheet,
    // −σ/2 just below, the same tangential field on both sides. On the axis no tangential field.
    // (A point over the diagonal, the triangles' common edge, at a height of 1e-9 loses that
    // many digits of its normal field: there the arctangent's two arguments are both of order
    // the height.)
    const std::vector<std::array<double, 3>> at{{0.0, 0.0, 0.3}, {0.0, 0.0, -2.0}, {0.2, -0.1, 1e-9}, {0.2, -0.1, -1e-9}};
    const auto h = rectangle_field(at);
    const double k = SIGMA / (4 * std::numbers::pi);
    for (std::size_t q = 0; q < 2; ++q) {
        const double z = at[q][2];
        expect_close(h[q], {0.0, 0.0, std::copysign(k * solid_angle(0.0, 0.0, std::abs(z)), z)}, 1e-13);
    }
    EXPECT_NEAR(h[2][2], k * solid_angle(0.2, -0.1, 1e-9), 1e-13 * SIGMA);
    EXPECT_NEAR(h[3][2], -k * solid_angle(0.2, -0.1, 1e-9), 1e-13 * SIGMA);
    EXPECT_NEAR(h[2][2], SIGMA / 2, 1e-8 * SIGMA);
    EXPECT_NEAR(h[2][0], h[3][0], 1e-12 * SIGMA);
    EXPECT_NEAR(h[2][1], h[3][1], 1e-12 * SIGMA);
}

TEST(SheetField, RectangleInItsPlaneBesideAndBehindEdges) {
    // Beside the edge x = B within 1e-7 of it (where R_u + s_u cancels), on the line of the
    // edge y = C behind its end, in general position, and far away.
    const std::vector<std::array<double, 3>> at{
        {B + 1e-7, 0.13, 0.0}, {B + 1e-7, -0.37, 0.0}, {B + 0.5, C, 0.0}, {B + 0.3, -C - 0.2, 0.0}, {B + 40.0, 3.0, 0.0}};
    const auto h = rectangle_field(at);
    for (std::size_t q = 0; q < at.size(); ++q) {
        SCOPED_TRACE(q);
        expect_close(h[q], in_plane(at[q][0], at[q][1]), 1e-12);
        EXPECT_EQ(h[q][2], 0.0);
    }
}

TEST(SheetField, ResultsDoNotDependOnThreadsAndBadInputIsRefused) {
    std::mt19937_64 random(7);
    std::normal_distribution<double> normal;
    const std::size_t n_sheets = 1000, n_points = 5;  // several items of work
    std::vector<double> corners(9 * n_sheets), charges(n_sheets), points(3 * n_points * n_sheets);
    for (double& v : corners) v = normal(random);
    for (double& v : charges) v = normal(random);
    for (double& v : points) v = normal(random);
    const std::vector<double> one = sheet_field(corners, charges, points, n_points, 1);
    const std::vector<double> three = sheet_field(corners, charges, points, n_points, 3);
    ASSERT_EQ(one.size(), points.size());
    for (std::size_t i = 0; i < one.size(); ++i) ASSERT_EQ(one[i], three[i]) << i;

    // A triangle of zero area: its third corner on its first.
    std::vector<double> flat(corners);
    for (int i = 0; i < 3; ++i) flat[9 * 500 + 6 + i] = flat[9 * 500 + i];
    EXPECT_THROW(sheet_field(flat, charges, points, n_points, 2), Refusal);
    EXPECT_THROW(sheet_field(corners, charges, points, n_points + 1, 2), Failure);
}

}  // namespace
}  // namespace corvane
