// Element ordering, volumes and radii of the octree sources.
#include "octree/sources.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "lib/failure.hpp"
#include "mesh/geometry.hpp"

namespace corvane {
namespace {

double distance(const Vec3& a, const Vec3& b) {
    const Vec3 d = a - b;
    return std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z);
}

}  // namespace

KeyedSources build_sources(Vec3List nodes, TetList connectivity) {
    const std::size_t m = connectivity.size();
    std::vector<double> centroids(3 * m);
    tet_centroids(nodes, connectivity, centroids);
    const Vec3List centroid_list(centroids);

    KeyedSources out;
    out.cube = bounding_cube(centroid_list);

    // Stable sort by key: equal keys keep their input order through the index.
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(m);
    for (std::size_t e = 0; e < m; ++e) {
        keyed[e] = {morton_code(centroid_list[e], out.cube.edge, out.cube.corner), e};
    }
    std::sort(keyed.begin(), keyed.end());

    OctreeSources& src = out.sources;
    out.keys.resize(m);
    src.order.resize(m);
    src.connectivity.resize(4 * m);
    src.centroids.resize(3 * m);
    for (std::size_t p = 0; p < m; ++p) {
        const std::size_t e = keyed[p].second;
        out.keys[p] = keyed[p].first;
        src.order[p] = e;
        std::copy_n(connectivity.data() + 4 * e, 4, src.connectivity.data() + 4 * p);
        std::copy_n(centroids.data() + 3 * e, 3, src.centroids.data() + 3 * p);
    }

    src.volumes.resize(m);
    tet_volumes(nodes, src.connectivity_list(), src.volumes);
    for (const double v : src.volumes) {
        if (!(v > 0.0)) fail("assertion failed: v > 0.0");
    }

    // The index checks of tet_centroids cover every node read here.
    src.radii.resize(m);
    const TetList tets = src.connectivity_list();
    const Vec3List tree_centroids = src.centroid_list();
    for (std::size_t p = 0; p < m; ++p) {
        const Tet tet = tets[p];
        const Vec3 c = tree_centroids[p];
        double r = 0.0;
        for (const std::uint32_t k : tet) {
            const double d = distance(nodes[k], c);
            if (d > r) r = d;
        }
        src.radii[p] = r;
    }

    src.nodes.assign(nodes.data(), nodes.data() + 3 * nodes.size());
    return out;
}

}  // namespace corvane
