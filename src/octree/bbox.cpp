// Bounding cube and Morton keys.
#include "octree/bbox.hpp"

#include <cmath>

namespace corvane {
namespace {

// Quantises a coordinate to 21 bits; negative values and NaN give 0, values
// at or beyond the far face give 2^21 - 1.
std::uint64_t quantise(double inverse_edge, double offset) {
    const double t = std::floor((inverse_edge * offset) * 2097152.0);
    if (!(t > 0.0)) return 0;
    if (t >= 2097151.0) return 2097151;
    return static_cast<std::uint64_t>(t);
}

// Moves bit k of a 21-bit value to bit 3k.
std::uint64_t spread_bits(std::uint64_t v) {
    v &= 0x1FFFFF;
    v = (v | (v << 32)) & 0x1F00000000FFFFULL;
    v = (v | (v << 16)) & 0x1F0000FF0000FFULL;
    v = (v | (v << 8)) & 0x100F00F00F00F00FULL;
    v = (v | (v << 4)) & 0x10C30C30C30C30C3ULL;
    v = (v | (v << 2)) & 0x1249249249249249ULL;
    return v;
}

}  // namespace

Vec3 RootCube::center() const {
    const double half = edge / 2.0;
    return {corner.x + half, corner.y + half, corner.z + half};
}

RootCube bounding_cube(Vec3List points) {
    Vec3 lo = points[0], hi = points[0];
    for (std::size_t i = 1; i < points.size(); ++i) {
        const Vec3 p = points[i];
        lo = {std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z)};
        hi = {std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z)};
    }
    const double edge = std::fmax(std::fmax(hi.x - lo.x, hi.y - lo.y), hi.z - lo.z);
    return {lo, edge};
}

std::uint64_t morton_code(const Vec3& point, double edge, const Vec3& corner) {
    const double s = 1.0 / edge;
    const std::uint64_t qx = quantise(s, point.x - corner.x);
    const std::uint64_t qy = quantise(s, point.y - corner.y);
    const std::uint64_t qz = quantise(s, point.z - corner.z);
    return spread_bits(qx) | (spread_bits(qy) << 1) | (spread_bits(qz) << 2);
}

}  // namespace corvane
