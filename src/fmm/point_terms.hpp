// The interaction of one source point with a list of targets, in vector lanes.
#pragma once

#include <cstddef>

#include "fmm/kinds.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// For each target t < n (coordinate lists x, y, z): adds sign[t] times the
// interaction of a point source (position, weight in m^3) with t to
// out[v * n + t], v < kind.entry_size() (see kinds.hpp): a dipole's field
// matrix, or the vector or factor of a current or magnetisation element.
// Targets of sign 0 get exactly nothing; the point must not coincide with
// any other target.
void add_point_terms(const Kind& kind, const double* x, const double* y, const double* z, const double* sign,
                     std::size_t n, const Vec3& point, double weight, double* out);

}  // namespace corvane::fmm

namespace corvane::fmm {

// Source points with the vectors of their elements, as lists.
struct PointSources {
    const double *x, *y, *z, *weight, *vx, *vy, *vz;
    std::size_t size;
};

// The field (SI) of all the points at one target, added to out (x, y, z):
// H of dipoles weight * v, or the A or H of current or magnetisation
// elements weight * v. Summed in a fixed order for a given list; the points
// must not coincide with the target.
void add_point_fields(const Kind& kind, const Vec3& target, const PointSources& points, double* out);

}  // namespace corvane::fmm
