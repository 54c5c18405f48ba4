// Multipole-to-local translations applied to batches of expansions, one
// expansion per vector lane.
#pragma once

#include <cstddef>

#include "fmm/rotations.hpp"

namespace corvane::fmm {

// Expansions per batch: coefficient r of expansion l at x[r * M2L_BATCH + l].
inline constexpr std::size_t M2L_BATCH = 8;

// y = translation of x for the M2L_BATCH expansions of a batch (real
// layout, real_count(t.order) coefficients each). Every lane goes through
// the same operations, so an expansion's result does not depend on the
// others in the batch. scratch holds 4 * real_count(t.order) * M2L_BATCH values.
void translate_batch(const AxialTranslation& t, const double* x, double* y, double* scratch);

}  // namespace corvane::fmm
