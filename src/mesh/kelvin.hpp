// Kelvin body-force density (M · ∇)H per element, with H known at the nodes
// and linear over each element.
#pragma once

#include <cstddef>

#include "lib/records.hpp"
#include "math/vec3.hpp"

namespace corvane {

// Fails on the first node index not below n_nodes (elements in order, k0..k3).
void check_node_indices(TetList elements, std::size_t n_nodes);

// Returns f_e = (m_e · ∇)H for the first n_rows elements, n_rows entries per
// component, allocated only after every check has passed. `h` holds the nodal fields Hx, Hy, Hz as its
// x, y, z lists; `magnetization` one vector per element. Checks, before any
// arithmetic and in this order: every node index against nodes, then against
// the length of h (k1, k0, k2, k3); n_rows against the element count; the
// magnetisation count against n_rows. The result is not scaled by μ0.
FieldOutput kelvin_force_density(Vec3List nodes, TetList elements, std::size_t n_rows, Vec3List magnetization,
                                 const TargetPoints& h);

}  // namespace corvane
