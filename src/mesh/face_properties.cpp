// Face areas, centroids and unit normals, one pass over the faces.
#include "mesh/face_properties.hpp"

#include <cmath>

#include "math/vec3.hpp"

namespace corvane {
namespace {

Vec3 node_at(std::span<const double> nodes, std::uint32_t k) {
    const std::size_t p = 3 * std::size_t{k};
    check_index(p, nodes.size());
    check_index(p + 1, nodes.size());
    check_index(p + 2, nodes.size());
    return {nodes[p], nodes[p + 1], nodes[p + 2]};
}

}  // namespace

FaceProperties face_properties(std::span<const double> nodes, std::span<const std::uint32_t> faces) {
    const std::size_t n_faces = faces.size() / 3;
    FaceProperties out{std::vector<double>(n_faces, 0.0), std::vector<double>(3 * n_faces, 0.0),
                       std::vector<double>(3 * n_faces, 0.0)};
    for (std::size_t i = 0; i < n_faces; ++i) {
        const Vec3 pa = node_at(nodes, faces[3 * i]);
        const Vec3 pb = node_at(nodes, faces[3 * i + 1]);
        const Vec3 pc = node_at(nodes, faces[3 * i + 2]);
        const Vec3 centroid = (pc + (pa + pb)) * 0.3333333333333333;
        const Vec3 e1 = pa - pb, e2 = pc - pb;
        const Vec3 n{e2.y * e1.z - e2.z * e1.y, e1.x * e2.z - e2.x * e1.z, e2.x * e1.y - e1.x * e2.y};
        const double length = std::sqrt(n.z * n.z + (n.x * n.x + n.y * n.y));
        const double r = 1.0 / length;
        out.areas[i] = length * 0.5;
        double* c = out.centroids.data() + 3 * i;
        c[0] = centroid.x;
        c[1] = centroid.y;
        c[2] = centroid.z;
        double* u = out.normals.data() + 3 * i;
        u[0] = n.x * r;
        u[1] = n.y * r;
        u[2] = n.z * r;
    }
    return out;
}

}  // namespace corvane
