// Element geometry and quadrature points of the operator's source mesh.
#include "fmm/elements.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "fmm/quadrature.hpp"
#include "lib/failure.hpp"

namespace corvane::fmm {

Elements make_elements(Vec3List nodes, TetList tets, std::span<const QuadraturePoint> rule, std::size_t n_threads,
                       const Poll& poll) {
    const std::size_t m = tets.size(), q = rule.size();
    Elements e;
    e.nodes.assign(nodes.data(), nodes.data() + 3 * nodes.size());
    e.tets.assign(tets.data(), tets.data() + 4 * m);
    e.volumes.resize(m);
    e.radii.resize(m);
    e.points_per_element = q;
    for (Points* p : {&e.centroids, &e.points}) {
        const std::size_t n = p == &e.centroids ? m : m * q;
        p->x.resize(n), p->y.resize(n), p->z.resize(n);
    }
    e.point_weights.resize(m * q);
    constexpr std::size_t ELEMENTS_PER_ITEM = 8192;
    run_items((m + ELEMENTS_PER_ITEM - 1) / ELEMENTS_PER_ITEM, n_threads, [&](std::size_t item, std::size_t) {
    for (std::size_t k = item * ELEMENTS_PER_ITEM; k < std::min(m, (item + 1) * ELEMENTS_PER_ITEM); ++k) {
        const Tet t = tets[k];
        Vec3 p[4];
        for (std::size_t i = 0; i < 4; ++i) p[i] = nodes.at(t[i]);
        const Vec3 u = p[1] - p[0], v = p[2] - p[0], w = p[3] - p[0];
        const double signed6 = u.x * (v.y * w.z - v.z * w.y) + u.y * (v.z * w.x - v.x * w.z) + u.z * (v.x * w.y - v.y * w.x);
        const double volume = std::fabs(signed6) / 6.0;
        if (!(volume > 0.0) || !std::isfinite(volume)) {
            fail("element " + std::to_string(k) + " has no positive, finite volume");
        }
        e.volumes[k] = volume;
        const Vec3 c = (((p[0] + p[1]) + p[2]) + p[3]) * 0.25;
        e.centroids.x[k] = c.x, e.centroids.y[k] = c.y, e.centroids.z[k] = c.z;
        double r2 = 0.0;
        for (const Vec3& node : p) {
            const Vec3 d = node - c;
            r2 = std::fmax(r2, (d.x * d.x + d.y * d.y) + d.z * d.z);
        }
        e.radii[k] = std::sqrt(r2);
        for (std::size_t j = 0; j < q; ++j) {
            const auto& b = rule[j].barycentric;
            const Vec3 x = ((p[0] * b[0] + p[1] * b[1]) + p[2] * b[2]) + p[3] * b[3];
            e.points.x[k * q + j] = x.x, e.points.y[k * q + j] = x.y, e.points.z[k * q + j] = x.z;
            e.point_weights[k * q + j] = rule[j].weight * volume;
        }
    }
    }, poll);
    return e;
}

}  // namespace corvane::fmm
