// Probe tetrahedra over boundary faces, one pass over the faces.
#include "mesh/probe_tets.hpp"

#include <cmath>

#include "lib/failure.hpp"
#include "math/vec3.hpp"

namespace corvane {
namespace {

Vec3 triple_at(std::span<const double> flat, std::size_t i) {
    const std::size_t p = 3 * i;
    check_index(p, flat.size());
    check_index(p + 1, flat.size());
    check_index(p + 2, flat.size());
    return {flat[p], flat[p + 1], flat[p + 2]};
}

void push_point(std::vector<double>& points, double x, double y, double z) { push_vec3(points, Vec3{x, y, z}); }

}  // namespace

ProbeTets face_probe_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                          std::span<const double> centroids, std::span<const double> normals) {
    const std::size_t n_faces = faces.size() / 3;
    // Point indices are uint32: refuse rather than wrap past 2^32 points.
    if (n_faces > 0 && 4 * n_faces - 1 > 0xFFFFFFFFull)
        fail("too many faces: probe point indices exceed the uint32 range");
    ProbeTets out;
    out.points.reserve(12 * n_faces);
    out.indices.reserve(4 * n_faces);
    // The float64 one unit in the last place below sqrt(1/2).
    constexpr double s = 0.7071067811865475;
    for (std::size_t i = 0; i < n_faces; ++i) {
        const Vec3 p = triple_at(nodes, faces[3 * i]);
        const Vec3 c = triple_at(centroids, i);
        const Vec3 n = triple_at(normals, i);
        const Vec3 d = p - c;
        const double length = std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z);
        const double h = length * 0.01;
        const Vec3 u = d * (1.0 / length);
        const Vec3 w{h * (u.z * n.y - u.y * n.z), h * (n.z * u.x - u.z * n.x), h * (u.y * n.x - u.x * n.y)};
        const Vec3 q{h * n.x, h * n.y, h * n.z};
        push_point(out.points, (c.x + h * u.x) + q.x * s, (c.y + h * u.y) + q.y * s, (c.z + h * u.z) + q.z * s);
        push_point(out.points, (c.x - h * u.x) + q.x * s, (c.y - h * u.y) + q.y * s, (c.z - h * u.z) + q.z * s);
        push_point(out.points, (c.x + w.x) + q.x * -s, (c.y + w.y) + q.y * -s, (c.z + w.z) + q.z * -s);
        push_point(out.points, (c.x - w.x) + q.x * -s, (c.y - w.y) + q.y * -s, (c.z - w.z) + q.z * -s);
        const auto first = static_cast<std::uint32_t>(4 * i);
        for (std::uint32_t j = 0; j < 4; ++j) out.indices.push_back(first + j);
    }
    return out;
}

}  // namespace corvane
