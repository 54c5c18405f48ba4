// Tetrahedron volumes and centroids, one pass over the elements.
#include "mesh/geometry.hpp"

#include <cmath>

namespace corvane {
namespace {

// The four nodes of an element, its indices tested in column order.
std::array<Vec3, 4> element_nodes(Vec3List nodes, const Tet& k) {
    return {nodes.at(k[0]), nodes.at(k[1]), nodes.at(k[2]), nodes.at(k[3])};
}

}  // namespace

void tet_volumes(Vec3List nodes, TetList elements, std::span<double> volumes) {
    assert_equal(elements.size(), volumes.size());
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const auto [p0, p1, p2, p3] = element_nodes(nodes, elements[e]);
        const Vec3 u = p1 - p0, v = p2 - p0, w = p3 - p0;
        const Vec3 c{v.y * w.z - v.z * w.y, v.z * w.x - v.x * w.z, v.x * w.y - v.y * w.x};
        const double s = u.z * c.z + (u.x * c.x + u.y * c.y);
        volumes[e] = std::fabs(s) * 0.16666666666666666;
    }
}

void tet_centroids(Vec3List nodes, TetList elements, std::span<double> centroids) {
    assert_equal(elements.size(), centroids.size() / 3);
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const auto [p0, p1, p2, p3] = element_nodes(nodes, elements[e]);
        const Vec3 c = (((p0 + p1) + p2) + p3) * 0.25;
        double* out = centroids.data() + 3 * e;
        out[0] = c.x;
        out[1] = c.y;
        out[2] = c.z;
    }
}

}  // namespace corvane
