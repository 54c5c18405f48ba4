// Compressed rows refused when malformed, and conjugate gradients around the
// two-level cycle on a one-dimensional Laplacian.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include <atomic>
#include <chrono>
#include <thread>

#include "lib/crew.hpp"
#include "lib/failure.hpp"
#include "multigrid/two_level_solver.hpp"

namespace corvane::multigrid {
namespace {

// The n × n Laplacian tridiag(-1, 2 + shift, -1), its rows and columns in
// the order `at` gives (row k is grid point at[k]).
CsrMatrix laplacian(std::size_t n, const std::vector<std::size_t>& at = {}, double shift = 0.0) {
    std::vector<std::size_t> row_of(n);
    for (std::size_t k = 0; k < n; ++k) row_of[at.empty() ? k : at[k]] = k;
    std::vector<std::int64_t> indptr{0};
    std::vector<std::int32_t> indices;
    std::vector<double> data;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = at.empty() ? k : at[k];
        for (std::size_t j = i == 0 ? 0 : i - 1; j <= i + 1 && j < n; ++j) {
            indices.push_back(static_cast<std::int32_t>(row_of[j]));
            data.push_back(i == j ? 2.0 + shift : -1.0);
        }
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
    }
    return CsrMatrix(n, n, indptr, indices, data);
}

// Piecewise constants on nc equal blocks of the grid: the prolongation
// (row k, grid point at[k], to its block) and its transpose.
std::pair<CsrMatrix, CsrMatrix> block_maps(const std::vector<std::size_t>& at, std::size_t nc) {
    const std::size_t n = at.size(), block = n / nc;
    std::vector<std::int64_t> p_ptr{0}, r_ptr{0};
    std::vector<std::int32_t> p_col, r_col;
    std::vector<std::vector<std::int32_t>> members(nc);
    for (std::size_t k = 0; k < n; ++k) {
        p_col.push_back(static_cast<std::int32_t>(at[k] / block));
        p_ptr.push_back(static_cast<std::int64_t>(k + 1));
        members[at[k] / block].push_back(static_cast<std::int32_t>(k));
    }
    for (const auto& rows : members) {
        r_col.insert(r_col.end(), rows.begin(), rows.end());
        r_ptr.push_back(static_cast<std::int64_t>(r_col.size()));
    }
    return {CsrMatrix(n, nc, p_ptr, p_col, std::vector<double>(n, 1.0)),
            CsrMatrix(nc, n, r_ptr, r_col, std::vector<double>(n, 1.0))};
}

std::vector<std::size_t> red_black_order(std::size_t n) {
    std::vector<std::size_t> at;
    for (std::size_t start : {0, 1}) {
        for (std::size_t i = start; i < n; i += 2) at.push_back(i);
    }
    return at;
}

// Solves fine x = b on one, two and three threads: within 1e-8 in fewer
// than max_cycles cycles, and the same bits each time.
void expect_the_same_on_any_number_of_threads(const CsrMatrix& fine, const CsrMatrix& to_fine,
                                              const CsrMatrix& to_coarse, const Hierarchy& hierarchy,
                                              const std::vector<double>& b, std::size_t max_cycles) {
    const std::size_t n = b.size();
    std::vector<double> first;
    for (std::size_t threads : {1u, 2u, 3u}) {
        const TwoLevelSolver solver(fine, to_fine, to_coarse, hierarchy,
                                    {0, static_cast<std::int64_t>(n / 2), static_cast<std::int64_t>(n)}, threads);
        std::vector<double> x(n), r(n);
        EXPECT_LT(solver.solve(b.data(), x.data(), 1e-8, 200), max_cycles);
        fine.residual(x.data(), b.data(), r.data());
        double rr = 0.0, bb = 0.0;
        for (std::size_t k = 0; k < n; ++k) rr += r[k] * r[k], bb += b[k] * b[k];
        EXPECT_LT(std::sqrt(rr), 1e-8 * std::sqrt(bb));
        if (first.empty()) first = x;
        EXPECT_EQ(x, first) << threads << " threads";
    }
}

// Every item runs exactly once per loop, on any crew size, loop after loop
// (a helper that joins late must not run an old loop's body), after pauses
// long enough for the helpers to fall asleep, and empty and single-item
// loops return.
TEST(Crew, RunsEveryItemOnceInEveryLoop) {
    for (std::size_t threads : {1u, 2u, 4u}) {
        Crew crew(threads);
        for (std::size_t n : {0u, 1u, 2u, 7u, 1000u}) {
            for (int loop = 0; loop < 50; ++loop) {
                if (loop % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                std::vector<std::atomic<int>> runs(n);
                crew.parallel_for(n, [&](std::size_t item) { runs[item].fetch_add(loop + 1); });
                for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), loop + 1) << threads << " " << n;
            }
        }
    }
}

// The products sum each row first, and a row without a usable diagonal keeps its value.
TEST(CsrMatrix, ProductsAndSweepsRowByRow) {
    // [[2, -1, 0], [0, 0, 1], [-1, 0, 4]]: row 1 has no diagonal entry.
    const CsrMatrix a(3, 3, {0, 2, 3, 5}, {0, 1, 2, 0, 2}, {2.0, -1.0, 1.0, -1.0, 4.0});
    const double x[3] = {1.0, 2.0, 3.0}, b[3] = {1.0, 1.0, 1.0};
    double y[3] = {10.0, 10.0, 10.0}, r[3];
    a.multiply_add(x, y);
    EXPECT_EQ(y[0], 10.0) << "2 - 2 added";
    EXPECT_EQ(y[1], 13.0);
    EXPECT_EQ(y[2], 21.0);
    a.residual(x, b, r);
    EXPECT_EQ(r[1], -2.0);
    double z[3] = {0.0, 5.0, 0.0};
    a.gauss_seidel(z, b, true);  // z0 = (1 + 5) / 2, z1 kept, z2 = (1 + 3) / 4
    EXPECT_EQ(z[0], 3.0);
    EXPECT_EQ(z[1], 5.0);
    EXPECT_EQ(z[2], 1.0);
    a.gauss_seidel(z, b, false, 1, 3);  // rows 2 then 1 only
    EXPECT_EQ(z[2], 1.0);
    EXPECT_EQ(z[0], 3.0);
    EXPECT_TRUE(a.independent(1, 2));
    EXPECT_FALSE(a.independent(0, 2));
}

// Runs of rows of one length (none to 40 entries, one row to seven) take
// loops of their own length: a sweep over a range that starts and ends inside
// runs is, both ways, the same bits as one plain loop per row.
TEST(CsrMatrix, RowsOfEveryLengthAsOnePlainLoop) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const std::size_t n = 400;
    std::vector<std::int64_t> indptr{0};
    std::vector<std::int32_t> indices;
    std::vector<double> data;
    for (std::size_t i = 0; i < n; ++i) {
        // The diagonal first, then off it; lone rows of 0..39 entries, then runs of seven.
        for (std::size_t k = 0, column; k < (i < 40 ? i : (i / 7) % 41); ++k) {
            column = k == 0 ? i : (i * 31 + k * 17) % n;
            indices.push_back(static_cast<std::int32_t>(k > 0 && column == i ? (i + 1) % n : column));
            data.push_back(k == 0 ? 4.0 + u(rng) : u(rng));
        }
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
    }
    const CsrMatrix a(n, n, indptr, indices, data);
    std::vector<double> x(n), b(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = u(rng), b[i] = u(rng);
    for (const bool forward : {true, false}) {
        std::vector<double> swept = x, want = x;
        a.gauss_seidel(swept.data(), b.data(), forward, 45, 333);
        for (std::size_t step = 45; step < 333; ++step) {
            const std::size_t i = forward ? step : 45 + 333 - 1 - step;
            double even = 0.0, odd = 0.0;
            auto e = indptr[i];
            for (; e + 1 < indptr[i + 1]; e += 2)
                even += data[e] * want[indices[e]], odd += data[e + 1] * want[indices[e + 1]];
            if (e < indptr[i + 1]) even += data[e] * want[indices[e]];
            if (indptr[i + 1] > indptr[i]) want[i] += (b[i] - (even + odd)) * (1.0 / data[indptr[i]]);
        }
        EXPECT_EQ(swept, want);
    }
}

TEST(CsrMatrix, RefusesMalformedStructures) {
    EXPECT_THROW(CsrMatrix(2, 2, {0, 1}, {0}, {1.0}), Failure);            // too few row pointers
    EXPECT_THROW(CsrMatrix(1, 1, {0, 2}, {0}, {1.0}), Failure);            // pointers past the values
    EXPECT_THROW(CsrMatrix(2, 2, {0, 1, 0}, {0}, {1.0}), Failure);         // decreasing pointers
    EXPECT_THROW(CsrMatrix(1, 2, {0, 1}, {2}, {1.0}), Failure);            // a column out of range
    EXPECT_NO_THROW(CsrMatrix(1, 2, {0, 2}, {1, 0}, {1.0, 2.0}));
}

// Conjugate gradients around a cycle whose coarse level holds the constants
// on 64 blocks of the grid, on a shifted Laplacian in red-black order:
// converged, and the same bits on one, two and three threads.
TEST(TwoLevelSolver, SolvesALaplacianTheSameOnAnyNumberOfThreads) {
    const std::size_t n = 1 << 18, nc = 64, block = n / nc;
    const std::vector<std::size_t> red_black = red_black_order(n);
    // The Galerkin matrix of those constants, inverted only by its diagonal:
    // any positive definite coarse solve keeps the cycle a preconditioner.
    const double shift = 0.1, coarse_diagonal = 2.0 + shift * block;
    Hierarchy hierarchy{{laplacian(nc, {}, coarse_diagonal - 2.0)}, {}, {}, std::vector<double>(nc * nc)};
    for (std::size_t i = 0; i < nc; ++i) hierarchy.coarsest_inverse[i * nc + i] = 1.0 / coarse_diagonal;
    std::vector<double> b(n);
    for (std::size_t k = 0; k < n; ++k) b[k] = std::sin(0.37 * static_cast<double>(red_black[k] % 1000));
    const auto [to_fine, to_coarse] = block_maps(red_black, nc);
    const CsrMatrix fine = laplacian(n, red_black, shift);
    expect_the_same_on_any_number_of_threads(fine, to_fine, to_coarse, hierarchy, b, 30);
    // Rows of one colour coupled to each other, and the maps swapped, are refused.
    EXPECT_THROW(TwoLevelSolver(fine, to_fine, to_coarse, hierarchy, {0, n}, 2), Failure);
    EXPECT_THROW(TwoLevelSolver(fine, to_coarse, to_fine, hierarchy, {}, 1), Failure);
}

// Rows of very different lengths (the first red rows coupled to thirty far
// black points each, as air points are to their neighbours) and a middle
// level between the fine one and the coarsest: the threads' runs, split by
// entries, and the middle level's shared products give the same bits on
// one, two and three threads, and the solve converges.
TEST(TwoLevelSolver, UnevenRowsAndThreeLevelsTheSameOnAnyNumberOfThreads) {
    const std::size_t n = 1 << 15, n_mid = 2048, n_coarse = 256;
    const std::vector<std::size_t> at = red_black_order(n);
    std::vector<std::map<std::int32_t, double>> rows(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = at[k];
        rows[k][static_cast<std::int32_t>(k)] += 2.1;
        if (i > 0) rows[k][static_cast<std::int32_t>(i % 2 ? (i - 1) / 2 : n / 2 + (i - 1) / 2)] -= 1.0;
        if (i + 1 < n) rows[k][static_cast<std::int32_t>(i % 2 ? (i + 1) / 2 : n / 2 + i / 2)] -= 1.0;
    }
    for (std::size_t k = 0; k < n / 16; ++k) {  // red rows (the first half) coupled to black ones
        for (std::size_t t = 0; t < 30; ++t) {
            const auto j = static_cast<std::int32_t>(n / 2 + (k * 7919 + t * 104729) % (n / 2));
            const auto kk = static_cast<std::int32_t>(k);
            rows[k][j] -= 0.01, rows[j][kk] -= 0.01, rows[k][kk] += 0.01, rows[j][j] += 0.01;
        }
    }
    std::vector<std::int64_t> indptr{0};
    std::vector<std::int32_t> indices;
    std::vector<double> data;
    for (const auto& row : rows) {
        for (const auto& [j, v] : row) indices.push_back(j), data.push_back(v);
        indptr.push_back(static_cast<std::int64_t>(indices.size()));
    }
    const CsrMatrix fine(n, n, indptr, indices, data);
    const auto [to_fine, to_coarse] = block_maps(at, n_mid);
    std::vector<std::size_t> mid(n_mid);
    for (std::size_t i = 0; i < n_mid; ++i) mid[i] = i;
    auto [prolongation, restriction] = block_maps(mid, n_coarse);
    Hierarchy hierarchy{{laplacian(n_mid, {}, 1.6), laplacian(n_coarse, {}, 12.8)}, {std::move(prolongation)},
                        {std::move(restriction)}, std::vector<double>(n_coarse * n_coarse)};
    for (std::size_t i = 0; i < n_coarse; ++i) hierarchy.coarsest_inverse[i * n_coarse + i] = 1.0 / 14.8;
    std::vector<double> b(n);
    for (std::size_t k = 0; k < n; ++k) b[k] = std::cos(0.71 * static_cast<double>(at[k] % 997));
    expect_the_same_on_any_number_of_threads(fine, to_fine, to_coarse, hierarchy, b, 200);
}

}  // namespace
}  // namespace corvane::multigrid
