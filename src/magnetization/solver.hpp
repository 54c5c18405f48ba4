// Self-consistent magnetisation of a linear body by a relaxed fixed-point
// iteration: M <- w * chi * (H_demag(M) + H_ext) + (1 - w) * M per element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "lib/records.hpp"
#include "math/vec3.hpp"

namespace corvane {

struct SolverSettings {
    double chi = 0.0;                   // susceptibility, one value for all elements
    double atol = 0.0;                  // tolerance on the largest change (A/m)
    std::uint32_t max_iterations = 0;
    double relaxation = 1.0;            // under-relaxation factor w
    bool verbose = false;               // one progress line per iteration on fd 1
};

// Adds H of the element magnetisations `m` at `targets` into `h`.
using FieldEvaluation = std::function<void(Vec3List m, const TargetPoints& targets, FieldOutput& h)>;

// Prepares the evaluation of one solve from its starting magnetisation: called
// once, before the first iteration, even when no iteration follows.
using FieldPath = std::function<FieldEvaluation(Vec3List m_start)>;

// Called on the calling thread before each iteration, when no worker thread is
// running; an exception it throws ends the solve.
using BetweenIterations = std::function<void()>;

struct SolverResult {
    std::vector<double> m;  // n_elements (x, y, z) triples, A/m
    FieldOutput h;          // demagnetising field of the last evaluation plus H_ext, A/m
};

// Runs the iteration from M = chi * H_ext for at most max_iterations steps,
// stopping early once the largest change is within atol. `centroids` are the
// evaluation points, one per element: any other count fails with "length of
// `fx` does not match" before the field path is prepared. `h_ext` needs at
// least n_elements rows (index failure otherwise); further rows are ignored.
SolverResult solve_magnetization(std::size_t n_elements, const TargetPoints& centroids, Vec3List h_ext,
                                 const SolverSettings& settings, const FieldPath& path,
                                 const BetweenIterations& between_iterations);

// One relaxed update of `m` (flat triples) from the demagnetising field `hd`
// and `h_ext`, over the length of `hd`. Returns the largest absolute change
// towards the unrelaxed target chi * (hd + h_ext), NaN differences ignored.
double relax_magnetization(std::vector<double>& m, const FieldOutput& hd, Vec3List h_ext, double chi,
                           double relaxation);

}  // namespace corvane
