// The coordinates the field computations can carry: lengths whose cubes and
// reciprocals stay well inside float64. Arguments outside are refused with a
// Refusal (ValueError in Python) before any work.
#pragma once

#include <cstdint>
#include <span>

#include "lib/records.hpp"
#include "math/vec3.hpp"

namespace corvane {

// Coordinates of larger magnitude are refused (their cubes would pass 1e90
// and products of a few of them overflow).
inline constexpr double MAX_COORDINATE = 1e30;
// Elements (and faces) whose size, the largest coordinate difference between
// a node and the first one, is nonzero but below this are refused.
inline constexpr double MIN_ELEMENT_SIZE = 1e-30;

// Refuses any value of magnitude above MAX_COORDINATE (infinities included;
// NaN is left to the computation). `name` is the argument's name.
void check_coordinates(std::span<const double> values, const char* name);
inline void check_coordinates(Vec3List points, const char* name) {
    check_coordinates(std::span<const double>(points.data(), 3 * points.size()), name);
}
inline void check_coordinates(const TargetPoints& points, const char* name) {
    check_coordinates(points.x, name);
    check_coordinates(points.y, name);
    check_coordinates(points.z, name);
}

// Refuses an element of nonzero size below MIN_ELEMENT_SIZE. Elements with a
// node index outside the node list are skipped: their index failure comes
// from the computation.
void check_element_sizes(Vec3List nodes, TetList elements, const char* name);

// The same for triangles: `faces` holds three node indices per face into the
// flat coordinate list `nodes`.
void check_face_sizes(std::span<const double> nodes, std::span<const std::uint32_t> faces, const char* name);

}  // namespace corvane
