// Bounding cube of the element centroids and the Morton key of a point in a cube.
#pragma once

#include <cstdint>

#include "math/vec3.hpp"

namespace corvane {

// Axis-aligned cube anchored at its minimum corner (metres).
struct RootCube {
    Vec3 corner;
    double edge = 0.0;
    Vec3 center() const;
};

// The componentwise minimum and maximum of a non-empty point list (NaN
// coordinates are ignored) and the cube of edge max - min (the largest
// extent) anchored at the minimum. No margin is added.
RootCube bounding_cube(Vec3List points);

// 63-bit key of `point` in the cube of edge `edge` at `corner`: each axis is
// quantised to 21 bits (clamped to [0, 2^21 - 1]; NaN gives 0) and the bits
// are interleaved x, y, z from the least significant end. The three bits
// 3(20 - L) .. 3(20 - L) + 2 name the octant at depth L + 1.
std::uint64_t morton_code(const Vec3& point, double edge, const Vec3& corner);

}  // namespace corvane
