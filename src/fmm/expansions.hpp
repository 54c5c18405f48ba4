// Multipole expansions of source points and the field of local expansions at
// targets, on normalised coefficients (see translations.hpp).
#pragma once

#include <cstddef>
#include <span>

#include "fmm/kinds.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// One source point: its position, weight (volume share, m^3) and the vector
// of its element.
struct SourcePoint {
    Vec3 position;
    double weight;
    Vec3 vector;
};

// Adds the expansion about `centre` (box width `width`) of the point to
// `multipole`: kind.components() real coefficient vectors of
// real_count(order) values each.
void add_point_to_multipole(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                            const SourcePoint& point, std::span<double> multipole);

// The field (A or H, SI) of the local expansion `local` of a box (centre,
// width) at `target`, added to out.
void add_local_to_target(const Kind& kind, std::size_t order, const Vec3& centre, double width,
                         std::span<const double> local, const Vec3& target, Vec3& out);

}  // namespace corvane::fmm
