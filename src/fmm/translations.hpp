// Translation matrices between normalised expansions. A box of width w keeps
// its multipole coefficients divided by w^n and its local coefficients
// multiplied by w^n (degree n), so that every translation between boxes of
// the same relative size and offset is one matrix at every level.
#pragma once

#include <cstddef>
#include <vector>

#include "math/vec3.hpp"

namespace corvane::fmm {

// A dense real matrix stored by columns: entry (r, c) at values[c * rows + r].
struct Matrix {
    std::size_t rows = 0, cols = 0;
    std::vector<double> values;
    double operator()(std::size_t r, std::size_t c) const { return values[c * rows + r]; }
};

// Multipole of a child (centre c, width w/2) to its parent (centre p, width w),
// shift = (c - p) / w.
Matrix multipole_to_multipole(std::size_t order, const Vec3& shift);

// Local of a parent (centre p, width w) to a child (centre c, width w/2),
// shift = (c - p) / w.
Matrix local_to_local(std::size_t order, const Vec3& shift);

// Multipole of a source box A to the local of a target box B, times w_B:
// offset = (c_A - c_B) / w_B, ratio = w_A / w_B. Multiply the result by
// 1 / w_B to get B's normalised local.
Matrix multipole_to_local(std::size_t order, const Vec3& offset, double ratio);

}  // namespace corvane::fmm
