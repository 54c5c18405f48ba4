// Multipole expansions of source points and the field of local expansions at
// targets, on normalised coefficients (see translations.hpp); points and
// targets go through vector lanes side by side.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "fmm/kinds.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// Source points as lists: position, weight (volume share, m^3) and the vector
// of the point's element.
struct SourceBatch {
    const double *x, *y, *z, *weight, *vx, *vy, *vz;
    std::size_t size;
};

// The expansion about `centre` (box width `width`) of the points, written to
// `multipole`: kind.components() real coefficient vectors of
// real_count(order) values each. The sum over the points runs in a fixed
// order for a given list. scratch is resized as needed.
void points_to_multipole(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                         const SourceBatch& points, std::span<double> multipole, std::vector<double>& scratch);

// Adds the field (A or H, SI) of the local expansion `local` of a box
// (centre, width) at the targets to out (x, y, z per target).
void local_to_targets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                      std::span<const double> local, const double* x, const double* y, const double* z,
                      std::size_t n_targets, double* out, std::vector<double>& scratch);

// Adds the field (A or H, SI) of the multipole expansion `multipole` of a
// box (centre, width) at the targets to out; the targets must lie outside
// the sphere that holds the box's sources.
void multipole_to_targets(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                          std::span<const double> multipole, const double* x, const double* y, const double* z,
                          std::size_t n_targets, double* out, std::vector<double>& scratch);

// R_n^m(v), n <= order, m >= 0, packed (harmonics.hpp): the recurrence
// every expansion above uses, one point at a time.
void regular_harmonics_of(const Vec3& v, std::size_t order, double* re, double* im);

}  // namespace corvane::fmm
