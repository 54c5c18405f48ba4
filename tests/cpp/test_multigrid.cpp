// Compressed rows refused when malformed, and conjugate gradients around the
// two-level cycle on a one-dimensional Laplacian.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "lib/failure.hpp"
#include "multigrid/two_level_solver.hpp"

namespace corvane::multigrid {
namespace {

// The n × n Laplacian tridiag(-1, 2, -1).
CsrMatrix laplacian(std::size_t n) {
    std::vector<std::int64_t> indptr{0};
    std::vector<std::int32_t> indices;
    std::vector<double> data;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i == 0 ? 0 : i - 1; j <= i + 1 && j < n; ++j) {
            indices.push_back(static_cast<std::int32_t>(j));
            data.push_back(i == j ? 2.0 : -1.0);
        }
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
    }
    return CsrMatrix(n, n, indptr, indices, data);
}

TEST(CsrMatrix, RefusesMalformedStructures) {
    EXPECT_THROW(CsrMatrix(2, 2, {0, 1}, {0}, {1.0}), Failure);            // too few row pointers
    EXPECT_THROW(CsrMatrix(1, 1, {0, 2}, {0}, {1.0}), Failure);            // pointers past the values
    EXPECT_THROW(CsrMatrix(2, 2, {0, 1, 0}, {0}, {1.0}), Failure);         // decreasing pointers
    EXPECT_THROW(CsrMatrix(1, 2, {0, 1}, {2}, {1.0}), Failure);            // a column out of range
    EXPECT_NO_THROW(CsrMatrix(1, 2, {0, 2}, {1, 0}, {1.0, 2.0}));
}

TEST(TwoLevelSolver, SolvesALaplacianWithACoarseCorrection) {
    const std::size_t n = 64, nc = 8;
    // Coarse unknowns: piecewise constant on blocks of eight.
    std::vector<std::int64_t> p_ptr{0}, r_ptr{0};
    std::vector<std::int32_t> p_col, r_col;
    for (std::size_t i = 0; i < n; ++i) p_col.push_back(static_cast<std::int32_t>(i / 8)), p_ptr.push_back(i + 1);
    for (std::size_t k = 0; k < nc; ++k) {
        for (std::size_t i = 8 * k; i < 8 * k + 8; ++i) r_col.push_back(static_cast<std::int32_t>(i));
        r_ptr.push_back(static_cast<std::int64_t>(r_col.size()));
    }
    const CsrMatrix to_fine(n, nc, p_ptr, p_col, std::vector<double>(n, 1.0));
    const CsrMatrix to_coarse(nc, n, r_ptr, r_col, std::vector<double>(n, 1.0));
    // The Galerkin matrix of those constants: tridiag(-1, 2, -1) again, its inverse by hand.
    Hierarchy hierarchy{{laplacian(nc)}, {}, {}, std::vector<double>(nc * nc)};
    for (std::size_t i = 0; i < nc; ++i) {
        for (std::size_t j = 0; j < nc; ++j) {
            const double a = static_cast<double>(std::min(i, j) + 1), b = static_cast<double>(nc - std::max(i, j));
            hierarchy.coarsest_inverse[i * nc + j] = a * b / (nc + 1);
        }
    }
    const TwoLevelSolver solver(laplacian(n), to_fine, to_coarse, hierarchy);
    std::vector<double> b(n), x(n), r(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::sin(0.37 * i * i);
    const std::size_t cycles = solver.solve(b.data(), x.data(), 1e-10, 100);
    laplacian(n).residual(x.data(), b.data(), r.data());
    double rr = 0.0, bb = 0.0;
    for (std::size_t i = 0; i < n; ++i) rr += r[i] * r[i], bb += b[i] * b[i];
    EXPECT_LT(std::sqrt(rr), 1e-10 * std::sqrt(bb));
    EXPECT_LT(cycles, 40u);
    EXPECT_THROW(TwoLevelSolver(laplacian(n), to_coarse, to_fine, hierarchy), Failure);  // maps swapped
}

}  // namespace
}  // namespace corvane::multigrid
