// Boundary faces of a tetrahedral mesh: the triangles that occur an odd
// number of times among the element faces.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "math/vec3.hpp"

namespace corvane {

// The four faces of element (k0, k1, k2, k3) in visiting order; outward for a
// positively oriented element.
inline constexpr std::array<std::array<int, 3>, 4> SURFACE_FACE_ORDER = {{
    {0, 3, 2}, {0, 2, 1}, {0, 1, 3}, {1, 2, 3}}};

// Face f (0..3, SURFACE_FACE_ORDER) of an element, in its oriented order.
inline std::array<std::uint32_t, 3> element_face(const Tet& k, std::size_t f) {
    const auto& order = SURFACE_FACE_ORDER[f];
    return {k[order[0]], k[order[1]], k[order[2]]};
}

// Boundary faces as flat (a, b, c) triples. A face keeps the orientation of
// the occurrence that last inserted it into the face map; rows follow the
// flat position 4e + f of that occurrence, so the result is deterministic.
// Node indices are not tested: no node count is known here.
std::vector<std::uint32_t> surface_faces(TetList elements);

}  // namespace corvane
