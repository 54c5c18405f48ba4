#include "multigrid/two_level_solver.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/failure.hpp"
#include "lib/parallelism.hpp"

namespace corvane::multigrid {
namespace {

// Dot products are summed in chunks of this many terms, then over the
// chunks in order: the same bits whichever thread summed a chunk.
constexpr std::size_t DOT_CHUNK = 4096;
// Fewest rows worth handing to a thread of their own in the sparse loops,
// and fewest entries in the coarsest level's dense product.
constexpr std::size_t MIN_ROWS = 512;
constexpr std::size_t MIN_DENSE_ENTRIES = 32768;
// Fine-matrix entries per thread below which more threads cost more (in
// starting them and handing them every colour) than they save. The helpers
// spin between loops: on a steel frame's 177,000 entries an application took
// 12.0 ms on two threads against 14.5 on one (with sleeping helpers, two
// threads were slower).
constexpr std::size_t ENTRIES_PER_THREAD = 50000;

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
    std::vector<double> fine_r, residual, z, p, q, partials;

    explicit Work(const TwoLevelSolver& s) {
        for (const auto& a : s.hierarchy_.matrices) {
            b.emplace_back(a.rows());
            x.emplace_back(a.rows());
            r.emplace_back(a.rows());
        }
        const std::size_t n = s.size();
        fine_r.resize(n), residual.resize(n), z.resize(n), p.resize(n), q.resize(n);
        partials.resize(ceil_div(n, DOT_CHUNK));
    }
};

TwoLevelSolver::TwoLevelSolver(CsrMatrix fine, CsrMatrix to_fine, CsrMatrix to_coarse, Hierarchy hierarchy,
                               std::vector<std::int64_t> colors, std::size_t n_threads)
    : fine_(std::move(fine)), to_fine_(std::move(to_fine)), to_coarse_(std::move(to_coarse)),
      hierarchy_(std::move(hierarchy)), colors_(std::move(colors)), n_threads_(thread_count(
                                                                         static_cast<std::uint32_t>(n_threads))) {
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
    if (!colors_.empty()) {
        if (colors_.front() != 0 || static_cast<std::uint64_t>(colors_.back()) != n) {
            fail("two-level solver: the colour classes must run from row 0 to the last row");
        }
        for (std::size_t k = 0; k + 1 < colors_.size(); ++k) {
            if (colors_[k + 1] < colors_[k]) fail("two-level solver: the colour classes must not decrease");
            if (!fine_.independent(colors_[k], colors_[k + 1])) {
                fail("two-level solver: colour " + std::to_string(k) + " has rows coupled to each other");
            }
        }
    }
}

std::size_t TwoLevelSolver::bytes() const {
    std::size_t total = fine_.bytes() + to_fine_.bytes() + to_coarse_.bytes() +
                        hierarchy_.coarsest_inverse.size() * sizeof(double) + colors_.size() * sizeof(std::int64_t);
    for (const auto* list : {&hierarchy_.matrices, &hierarchy_.prolongations, &hierarchy_.restrictions}) {
        for (const auto& m : *list) total += m.bytes();
    }
    return total;
}

std::size_t TwoLevelSolver::crew_size() const {
    if (colors_.empty()) return 1;
    return std::max<std::size_t>(1, std::min(n_threads_, fine_.nonzeros() / ENTRIES_PER_THREAD));
}

namespace {

// f(first, last) over first..last-1 in one run of rows per thread (none
// shorter than min_rows), shared by the crew.
template <class F>
void for_rows(Crew& crew, std::size_t first, std::size_t last, const F& f, std::size_t min_rows = MIN_ROWS) {
    const std::size_t n = last - first;
    if (n == 0) return;
    const std::size_t chunk = ceil_div(n, std::max<std::size_t>(1, std::min(crew.size(), n / min_rows)));
    crew.parallel_for(ceil_div(n, chunk), [&](std::size_t c) {
        const std::size_t begin = first + c * chunk;
        f(begin, std::min(last, begin + chunk));
    });
}

// The same for a loop over rows of m, the runs holding equal shares of its
// entries rather than of its rows: rows differ in length (an air point has
// twice a face's neighbours), and the runs' times with them.
template <class F>
void for_entries(Crew& crew, const CsrMatrix& m, std::size_t first, std::size_t last, const F& f) {
    const std::size_t n = last - first;
    if (n == 0) return;
    const std::size_t parts = std::max<std::size_t>(1, std::min(crew.size(), n / MIN_ROWS));
    const std::size_t start = m.entries_before(first), total = m.entries_before(last) - start;
    // The first row of a part: the first whose entries begin at or after its share.
    const auto boundary = [&](std::size_t part) {
        if (part == 0) return first;
        if (part == parts) return last;
        const std::size_t target = start + total / parts * part + total % parts * part / parts;
        std::size_t low = first, high = last;
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (m.entries_before(mid) < target) low = mid + 1;
            else high = mid;
        }
        return low;
    };
    crew.parallel_for(parts, [&](std::size_t c) {
        const std::size_t begin = boundary(c), end = boundary(c + 1);
        if (begin < end) f(begin, end);
    });
}

}  // namespace

double TwoLevelSolver::dot(const double* a, const double* b, Work& work, Crew& crew) const {
    const std::size_t n = size();
    crew.parallel_for(work.partials.size(), [&](std::size_t c) {
        double sum = 0.0;
        for (std::size_t i = c * DOT_CHUNK; i < std::min(n, (c + 1) * DOT_CHUNK); ++i) sum += a[i] * b[i];
        work.partials[c] = sum;
    });
    double total = 0.0;
    for (const double partial : work.partials) total += partial;
    return total;
}

void TwoLevelSolver::sweep(double* x, const double* b, bool forward, Crew& crew) const {
    if (colors_.empty()) {
        fine_.gauss_seidel(x, b, forward);
        return;
    }
    const std::size_t n_colors = colors_.size() - 1;
    for (std::size_t step = 0; step < n_colors; ++step) {
        const std::size_t k = forward ? step : n_colors - 1 - step;
        // The rows of a colour do not read each other; the next colour reads their new values.
        for_entries(crew, fine_, colors_[k], colors_[k + 1],
                    [&](std::size_t first, std::size_t last) { fine_.gauss_seidel(x, b, forward, first, last); });
    }
}

void TwoLevelSolver::v_cycle(std::size_t level, const double* b, double* x, Work& work, Crew& crew) const {
    // Sweeps in order on one thread; the products row by row, shared by the crew (the same bits).
    const auto& levels = hierarchy_.matrices;
    const std::size_t n = levels[level].rows();
    if (level + 1 == levels.size()) {
        const double* inverse = hierarchy_.coarsest_inverse.data();
        for_rows(
            crew, 0, n,
            [&](std::size_t first, std::size_t last) {
                // Four partial sums per row, so that the additions do not wait on each other.
                for (std::size_t i = first; i < last; ++i) {
                    const double* row = inverse + i * n;
                    double sum[4] = {0.0, 0.0, 0.0, 0.0};
                    std::size_t j = 0;
                    for (; j + 4 <= n; j += 4)
                        for (std::size_t k = 0; k < 4; ++k) sum[k] += row[j + k] * b[j + k];
                    for (; j < n; ++j) sum[0] += row[j] * b[j];
                    x[i] = (sum[0] + sum[1]) + (sum[2] + sum[3]);
                }
            },
            std::max<std::size_t>(1, MIN_DENSE_ENTRIES / std::max<std::size_t>(1, n)));
        return;
    }
    const CsrMatrix& a = levels[level];
    std::fill(x, x + n, 0.0);
    a.gauss_seidel(x, b, true);
    double* r = work.r[level].data();
    for_entries(crew, a, 0, n, [&](std::size_t first, std::size_t last) { a.residual(x, b, r, first, last); });
    double* coarse_b = work.b[level + 1].data();
    double* coarse_x = work.x[level + 1].data();
    const CsrMatrix& restriction = hierarchy_.restrictions[level];
    for_entries(crew, restriction, 0, restriction.rows(),
                [&](std::size_t first, std::size_t last) { restriction.multiply(r, coarse_b, first, last); });
    v_cycle(level + 1, coarse_b, coarse_x, work, crew);
    const CsrMatrix& prolongation = hierarchy_.prolongations[level];
    for_entries(crew, prolongation, 0, n,
                [&](std::size_t first, std::size_t last) { prolongation.multiply_add(coarse_x, x, first, last); });
    a.gauss_seidel(x, b, false);
}

void TwoLevelSolver::cycle(const double* b, double* x, Work& work, Crew& crew) const {
    const std::size_t n = size();
    std::fill(x, x + n, 0.0);
    sweep(x, b, true, crew);
    for_entries(crew, fine_, 0, n, [&](std::size_t first, std::size_t last) {
        fine_.residual(x, b, work.fine_r.data(), first, last);
    });
    for_entries(crew, to_coarse_, 0, to_coarse_.rows(), [&](std::size_t first, std::size_t last) {
        to_coarse_.multiply(work.fine_r.data(), work.b[0].data(), first, last);
    });
    v_cycle(0, work.b[0].data(), work.x[0].data(), work, crew);
    for_entries(crew, to_fine_, 0, n, [&](std::size_t first, std::size_t last) {
        to_fine_.multiply_add(work.x[0].data(), x, first, last);
    });
    sweep(x, b, false, crew);
}

void TwoLevelSolver::cycle(const double* b, double* x) const {
    Work work(*this);
    Crew crew(crew_size());
    cycle(b, x, work, crew);
}

std::size_t TwoLevelSolver::solve(const double* b, double* x, double rtol, std::size_t max_cycles) const {
    const std::size_t n = size();
    Work work(*this);
    Crew crew(crew_size());
    double* r = work.residual.data();
    double* z = work.z.data();
    double* p = work.p.data();
    double* q = work.q.data();
    std::copy(b, b + n, r);
    std::fill(x, x + n, 0.0);
    const double norm_b = std::sqrt(dot(r, r, work, crew));
    if (norm_b == 0.0) return 0;
    const double limit = rtol * norm_b;
    double rho_last = 0.0;
    std::size_t cycles = 0;
    for (std::size_t step = 0; step < max_cycles; ++step) {
        if (!(std::sqrt(dot(r, r, work, crew)) >= limit)) break;
        cycle(r, z, work, crew);
        ++cycles;
        const double rho = dot(r, z, work, crew);
        const double beta = step == 0 ? 0.0 : rho / rho_last;
        for_rows(crew, 0, n, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) p[i] = step == 0 ? z[i] : p[i] * beta + z[i];
        });
        // q reads all of p: a loop of its own.
        for_entries(crew, fine_, 0, n, [&](std::size_t first, std::size_t last) { fine_.multiply(p, q, first, last); });
        const double curvature = dot(p, q, work, crew);
        // A direction without curvature: b has a part outside the range, or
        // the iteration has stalled at rounding level.
        if (!(curvature > 0.0)) break;
        const double alpha = rho / curvature;
        for_rows(crew, 0, n, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) x[i] += alpha * p[i], r[i] -= alpha * q[i];
        });
        rho_last = rho;
    }
    return cycles;
}

}  // namespace corvane::multigrid
