// Dense products of a translation matrix with many expansions at once.
#pragma once

#include <cstddef>

namespace corvane::fmm {

// Rows of a matrix stored for multiply(): padded to a multiple of this.
inline constexpr std::size_t ROW_PADDING = 8;
inline std::size_t padded_rows(std::size_t rows) { return (rows + ROW_PADDING - 1) / ROW_PADDING * ROW_PADDING; }

// y[:, j] = a x[:, j] for j < n: a is rows_padded x k by columns (its padding
// rows zero), x is k x n with column stride ldx, y is rows_padded x n with
// column stride ldy. Every column is computed by the same operations
// whichever columns share the call.
void multiply(const double* a, std::size_t rows_padded, std::size_t k, const double* x, std::size_t ldx,
              std::size_t n, double* y, std::size_t ldy);

}  // namespace corvane::fmm
