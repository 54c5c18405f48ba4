#include "multigrid/two_level_solver.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/failure.hpp"

namespace corvane::multigrid {
namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

void check_shape(const CsrMatrix& m, std::size_t rows, std::size_t cols, const std::string& name) {
    if (m.rows() != rows || m.cols() != cols) {
        fail("two-level solver: " + name + " is " + std::to_string(m.rows()) + " x " + std::to_string(m.cols()) +
             ", not " + std::to_string(rows) + " x " + std::to_string(cols));
    }
}

}  // namespace

// Vectors for one call: per hierarchy level a right-hand side, a solution
// and a residual; on the fine level the same and conjugate gradients' own.
struct TwoLevelSolver::Work {
    std::vector<std::vector<double>> b, x, r;
    std::vector<double> fine_r, residual, z, p, q;

    explicit Work(const TwoLevelSolver& s) {
        for (const auto& a : s.hierarchy_.matrices) {
            b.emplace_back(a.rows());
            x.emplace_back(a.rows());
            r.emplace_back(a.rows());
        }
        const std::size_t n = s.size();
        fine_r.resize(n), residual.resize(n), z.resize(n), p.resize(n), q.resize(n);
    }
};

TwoLevelSolver::TwoLevelSolver(CsrMatrix fine, CsrMatrix to_fine, CsrMatrix to_coarse, Hierarchy hierarchy)
    : fine_(std::move(fine)), to_fine_(std::move(to_fine)), to_coarse_(std::move(to_coarse)),
      hierarchy_(std::move(hierarchy)) {
    const auto& levels = hierarchy_.matrices;
    if (levels.empty()) fail("two-level solver: the hierarchy has no level");
    if (hierarchy_.prolongations.size() + 1 != levels.size() || hierarchy_.restrictions.size() + 1 != levels.size()) {
        fail("two-level solver: one prolongation and one restriction between consecutive levels");
    }
    const std::size_t n = fine_.rows();
    check_shape(fine_, n, n, "the fine matrix");
    check_shape(to_fine_, n, levels[0].rows(), "the map to the fine unknowns");
    check_shape(to_coarse_, levels[0].rows(), n, "the map to the first level");
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const std::size_t nk = levels[k].rows();
        check_shape(levels[k], nk, nk, "level " + std::to_string(k));
        if (k + 1 < levels.size()) {
            const std::size_t next = levels[k + 1].rows();
            check_shape(hierarchy_.prolongations[k], nk, next, "prolongation " + std::to_string(k));
            check_shape(hierarchy_.restrictions[k], next, nk, "restriction " + std::to_string(k));
        }
    }
    const std::size_t last = levels.back().rows();
    if (hierarchy_.coarsest_inverse.size() != last * last) fail("two-level solver: the coarsest inverse is not square");
}

std::size_t TwoLevelSolver::bytes() const {
    std::size_t total = fine_.bytes() + to_fine_.bytes() + to_coarse_.bytes() +
                        hierarchy_.coarsest_inverse.size() * sizeof(double);
    for (const auto* list : {&hierarchy_.matrices, &hierarchy_.prolongations, &hierarchy_.restrictions}) {
        for (const auto& m : *list) total += m.bytes();
    }
    return total;
}

void TwoLevelSolver::v_cycle(std::size_t level, const double* b, double* x, Work& work) const {
    const auto& levels = hierarchy_.matrices;
    const std::size_t n = levels[level].rows();
    if (level + 1 == levels.size()) {
        const double* inverse = hierarchy_.coarsest_inverse.data();
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < n; ++j) sum += inverse[i * n + j] * b[j];
            x[i] = sum;
        }
        return;
    }
    const CsrMatrix& a = levels[level];
    std::fill(x, x + n, 0.0);
    a.gauss_seidel(x, b, true);
    double* r = work.r[level].data();
    a.residual(x, b, r);
    double* coarse_b = work.b[level + 1].data();
    double* coarse_x = work.x[level + 1].data();
    hierarchy_.restrictions[level].multiply(r, coarse_b);
    v_cycle(level + 1, coarse_b, coarse_x, work);
    hierarchy_.prolongations[level].multiply_add(coarse_x, x);
    a.gauss_seidel(x, b, false);
}

void TwoLevelSolver::cycle(const double* b, double* x, Work& work) const {
    std::fill(x, x + size(), 0.0);
    fine_.gauss_seidel(x, b, true);
    fine_.residual(x, b, work.fine_r.data());
    to_coarse_.multiply(work.fine_r.data(), work.b[0].data());
    v_cycle(0, work.b[0].data(), work.x[0].data(), work);
    to_fine_.multiply_add(work.x[0].data(), x);
    fine_.gauss_seidel(x, b, false);
}

void TwoLevelSolver::cycle(const double* b, double* x) const {
    Work work(*this);
    cycle(b, x, work);
}

std::size_t TwoLevelSolver::solve(const double* b, double* x, double rtol, std::size_t max_cycles) const {
    const std::size_t n = size();
    Work work(*this);
    std::vector<double>& r = work.residual;
    std::copy(b, b + n, r.begin());
    std::fill(x, x + n, 0.0);
    const double norm_b = std::sqrt(dot(r, r));
    if (norm_b == 0.0) return 0;
    const double limit = rtol * norm_b;
    double rho_last = 0.0;
    std::size_t cycles = 0;
    for (std::size_t step = 0; step < max_cycles; ++step) {
        if (!(std::sqrt(dot(r, r)) >= limit)) break;
        cycle(r.data(), work.z.data(), work);
        ++cycles;
        const double rho = dot(r, work.z);
        if (step == 0) {
            work.p = work.z;
        } else {
            const double beta = rho / rho_last;
            for (std::size_t i = 0; i < n; ++i) work.p[i] = work.p[i] * beta + work.z[i];
        }
        fine_.multiply(work.p.data(), work.q.data());
        const double curvature = dot(work.p, work.q);
        // A direction without curvature: b has a part outside the range, or
        // the iteration has stalled at rounding level; x is as good as it gets.
        if (!(curvature > 0.0)) break;
        const double alpha = rho / curvature;
        for (std::size_t i = 0; i < n; ++i) x[i] += alpha * work.p[i], r[i] -= alpha * work.q[i];
        rho_last = rho;
    }
    return cycles;
}

}  // namespace corvane::multigrid
