// The point locator against a search of every element, on a jittered mesh of
// cubes split into tetrahedra, and at the edges of its contract.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "lib/failure.hpp"
#include "mesh/point_location.hpp"

namespace corvane {
namespace {

// Whether point p lies in tetrahedron e (barycentric coordinates within 1e-9).
bool holds(const std::vector<double>& nodes, const std::vector<std::int64_t>& tets, std::size_t e, const double* p) {
    const double* c[4];
    for (int k = 0; k < 4; ++k) c[k] = &nodes[3 * static_cast<std::size_t>(tets[4 * e + k])];
    const auto volume = [](const double* a, const double* b, const double* d, const double* q) {
        const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {d[0] - a[0], d[1] - a[1], d[2] - a[2]},
                     w[3] = {q[0] - a[0], q[1] - a[1], q[2] - a[2]};
        return u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) + u[2] * (v[0] * w[1] - v[1] * w[0]);
    };
    const double whole = volume(c[0], c[1], c[2], c[3]);
    const double parts[4] = {volume(p, c[1], c[2], c[3]), volume(c[0], p, c[2], c[3]), volume(c[0], c[1], p, c[3]),
                             volume(c[0], c[1], c[2], p)};
    for (const double part : parts) {
        if (part / whole < -1e-9) return false;
    }
    return true;
}

TEST(PointLocator, FindsTheElementThatHoldsEachPoint) {
    // 5 x 4 x 3 cubes of side 1, six tetrahedra each, inner nodes moved by up to 0.2.
    const int nx = 5, ny = 4, nz = 3;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> jitter(-0.2, 0.2);
    std::vector<double> nodes;
    const auto node = [&](int i, int j, int k) { return static_cast<std::int64_t>(i + (nx + 1) * (j + (ny + 1) * k)); };
    for (int k = 0; k <= nz; ++k)
        for (int j = 0; j <= ny; ++j)
            for (int i = 0; i <= nx; ++i) {
                const bool inner = i > 0 && i < nx && j > 0 && j < ny && k > 0 && k < nz;
                for (const int x : {i, j, k}) nodes.push_back(x + (inner ? jitter(random) : 0.0));
            }
    std::vector<std::int64_t> tets;
    const int paths[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                for (const auto& path : paths) {
                    int at[3] = {i, j, k};
                    tets.push_back(node(at[0], at[1], at[2]));
                    for (const int axis : path) {
                        ++at[axis];
                        tets.push_back(node(at[0], at[1], at[2]));
                    }
                }
    const std::size_t m = tets.size() / 4;
    std::vector<std::int64_t> elements;  // every element but every seventh, in reverse order
    for (std::size_t e = m; e-- > 0;) {
        if (e % 7) elements.push_back(static_cast<std::int64_t>(e));
    }
    std::vector<double> points;
    std::uniform_real_distribution<double> where(-0.5, 6.0);
    for (int p = 0; p < 60000; ++p) points.push_back(where(random));
    // Points on shared faces and at nodes: the last holding element of the list.
    for (std::size_t n = 0; n < nodes.size(); ++n) points.push_back(nodes[n]);
    const PointLocator locator(nodes, tets, elements);
    std::vector<std::int64_t> found(points.size() / 3);
    locator.locate(points, found);
    std::size_t inside = 0;
    for (std::size_t p = 0; p < found.size(); ++p) {
        std::int64_t expected = -1;
        for (const std::int64_t e : elements) {
            if (holds(nodes, tets, static_cast<std::size_t>(e), &points[3 * p])) expected = e;
        }
        ASSERT_EQ(found[p], expected) << "point " << p;
        inside += expected >= 0;
    }
    EXPECT_GT(inside, 3000u);
}

TEST(PointLocator, PlacesNoPointInFlatElementsOrOutsideAndChecksIndices) {
    const std::vector<double> nodes = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 0};
    // The second element is flat: it holds no point.
    const std::vector<std::int64_t> tets = {0, 1, 2, 3, 0, 1, 2, 4};
    const PointLocator locator(nodes, tets, std::vector<std::int64_t>{0, 1});
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<double> points = {0.1, 0.1, 0.1, 0.3, 0.3, 0.0, nan, 0.1, 0.1, 1e300, 0, 0, -inf, 0, 0, 2, 2, 2};
    std::vector<std::int64_t> found(6);
    std::vector<double> margins(6);
    locator.locate(points, found, margins);
    EXPECT_EQ(found, (std::vector<std::int64_t>{0, 0, -1, -1, -1, -1}));
    // The smallest barycentric coordinate: 0.1 inside, 0 on the face z = 0, none outside.
    EXPECT_NEAR(margins[0], 0.1, 1e-15);
    EXPECT_EQ(margins[1], 0.0);
    for (std::size_t p = 2; p < 6; ++p) EXPECT_TRUE(std::isnan(margins[p])) << p;
    EXPECT_THROW(PointLocator(nodes, tets, std::vector<std::int64_t>{2}), Failure);
    EXPECT_THROW(PointLocator(nodes, std::vector<std::int64_t>{0, 1, 2, 9}, std::vector<std::int64_t>{0}), Failure);
    const PointLocator none(nodes, tets, std::vector<std::int64_t>{});
    none.locate(points, found);
    EXPECT_EQ(found, std::vector<std::int64_t>(6, -1));
}

}  // namespace
}  // namespace corvane
