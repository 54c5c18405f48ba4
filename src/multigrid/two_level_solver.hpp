// Conjugate gradients preconditioned by a two-level cycle: Gauss-Seidel on a
// fine matrix around one V-cycle of a coarser hierarchy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/crew.hpp"
#include "multigrid/csr_matrix.hpp"

namespace corvane::multigrid {

// The coarse hierarchy of an algebraic multigrid: the matrices of its levels,
// finest first, the prolongations and restrictions between consecutive
// levels, and the (pseudo-)inverse of the coarsest matrix, dense and row-major.
struct Hierarchy {
    std::vector<CsrMatrix> matrices;
    std::vector<CsrMatrix> prolongations;  // level k + 1 to level k
    std::vector<CsrMatrix> restrictions;   // level k to level k + 1
    std::vector<double> coarsest_inverse;
};

class TwoLevelSolver {
public:
    // fine (n × n); to_fine (n × n0) and to_coarse (n0 × n) between the fine
    // unknowns and the hierarchy's first level. colors: empty, or the starts
    // of the fine rows' colour classes (0 ... n), no row coupled to another of
    // its colour; the fine sweeps then go colour by colour, each colour's
    // rows shared among n_threads threads (0: one per processor), as are
    // the fine products and sums. Shapes that
    // do not chain, or colours that are not independent, fail with a Failure.
    TwoLevelSolver(CsrMatrix fine, CsrMatrix to_fine, CsrMatrix to_coarse, Hierarchy hierarchy,
                   std::vector<std::int64_t> colors, std::size_t n_threads);

    std::size_t size() const { return fine_.rows(); }
    std::size_t bytes() const;

    // x (zeroed first) approximates fine⁻¹ b: conjugate gradients from zero,
    // each step preconditioned by one cycle, until |b - fine x| < rtol |b|
    // or max_cycles cycles. Returns the cycles run. fine must be symmetric
    // positive semi-definite and b in its range. The same bits for any
    // thread count; thread-safe, the work space being the call's own.
    std::size_t solve(const double* b, double* x, double rtol, std::size_t max_cycles) const;

    // One cycle from zero, linear in b: a forward sweep on the fine matrix,
    // the coarse correction of its residual, a backward sweep.
    void cycle(const double* b, double* x) const;

private:
    struct Work;
    void sweep(double* x, const double* b, bool forward, Crew& crew) const;
    void cycle(const double* b, double* x, Work& work, Crew& crew) const;
    void v_cycle(std::size_t level, const double* b, double* x, Work& work, Crew& crew) const;
    double dot(const double* a, const double* b, Work& work, Crew& crew) const;
    std::size_t crew_size() const;

    CsrMatrix fine_, to_fine_, to_coarse_;
    Hierarchy hierarchy_;
    std::vector<std::int64_t> colors_;
    std::size_t n_threads_;
};

}  // namespace corvane::multigrid
