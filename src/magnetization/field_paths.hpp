// The two ways a solve evaluates the demagnetising field of its elements.
#pragma once

#include <cstdint>

#include "magnetization/solver.hpp"
#include "math/vec3.hpp"
#include "octree/mod.hpp"

namespace corvane {

// Direct summation over all element-target pairs (point kernels when
// `point_kernels`, exact tetrahedron kernels otherwise) on up to
// `n_threads_requested` workers. The mesh views must outlive the solve.
FieldPath direct_field_path(Vec3List nodes, TetList elements, bool point_kernels,
                            std::uint32_t n_threads_requested);

// One octree per solve, built over the mesh with the starting magnetisation;
// each evaluation aggregates the moments of the current magnetisation again
// before it walks the tree. The tree lives as long as the evaluation.
FieldPath octree_field_path(Vec3List nodes, TetList elements, const OctreeParams& params);

}  // namespace corvane
