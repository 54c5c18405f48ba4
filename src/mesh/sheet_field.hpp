// The magnetic field of uniformly charged triangles in closed form, each at
// points of its own: the face pairs of bodies in contact.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lib/work_queue.hpp"

namespace corvane {

// H (A/m) at points of triangles carrying uniform charge, as flat triples.
// `corners` holds triangle k at flat positions 9k .. 9k+8 (corners a, b, c),
// `charges` its total charge (A·m), `points` n_sheets × n_points triples,
// the n_points of row k in the field of triangle k alone:
//   H = σ/4π ∫ (p − q)/|p − q|³ dA,
// along the right-hand normal of (a, b, c) σ/4π times the signed solid angle
// (positive on the side the normal points to: +σ/2 just there, −σ/2 just
// behind), in the plane σ/4π Σ_edges m ln((R_v + s_v)/(R_u + s_u)) with m the
// edge's outward normal in the plane, s the positions of its ends u, v along
// it from the point's foot and R their distances. The ratio is taken without
// cancellation: behind the edge's end (s_v < 0) as (R_u − s_u)/(R_v − s_v),
// alongside the edge (s_u < 0 ≤ s_v) as (R_v + s_v)(R_u − s_u)/ρ², ρ the
// distance from the edge's line. A point on a triangle's edge or corner has
// no finite field.
// The lengths must match (a Failure otherwise); a triangle of zero or
// non-finite area is refused before any work. Runs on n_threads threads
// (the calling one included); each result depends on its triangle and point
// only. `poll` as in run_items.
std::vector<double> sheet_field(std::span<const double> corners, std::span<const double> charges,
                                std::span<const double> points, std::size_t n_points, std::size_t n_threads,
                                const Poll& poll = {});

}  // namespace corvane
