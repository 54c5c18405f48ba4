// The product of kept near-field values with the elements' vectors.
#pragma once

#include <cstddef>

#include "fmm/kinds.hpp"

namespace corvane::fmm {

// Adds to out[3 t ...] (x, y, z), for each of n_rows targets, the field of
// n_columns elements whose vectors are the lists vx, vy, vz. Row t's values
// start at values + t * entry_size * n_columns, entry v of column j at
// v * n_columns + j (see kinds.hpp for the entries). Each row is summed in
// a fixed order for a given n_columns and instruction set. traceless (H of
// a magnetisation only): the rows hold (xx, yy, xy, xz, yz), and zz is
// -(xx + yy).
void multiply_rows(const Kind& kind, bool traceless, const float* values, std::size_t n_rows, std::size_t n_columns,
                   const double* vx, const double* vy, const double* vz, double* out);
void multiply_rows(const Kind& kind, bool traceless, const double* values, std::size_t n_rows, std::size_t n_columns,
                   const double* vx, const double* vy, const double* vz, double* out);

}  // namespace corvane::fmm
