// Bottom-up aggregation of node moments and the radius pass.
#include "octree/aggregation.hpp"

#include <cmath>

#include "lib/failure.hpp"

namespace corvane {
namespace {

double norm(const Vec3& v) { return std::sqrt((v.x * v.x + v.y * v.y) + v.z * v.z); }

Vec3 weighted_centre(const Vec3& sum, double weight, const Vec3& cube_centre) {
    if (weight > 0.0) return {sum.x / weight, sum.y / weight, sum.z / weight};
    return cube_centre;
}

void aggregate_leaf(NodeMoments& out, std::size_t node, SourceRange range, const Vec3& cube_centre,
                    const OctreeSources& sources, Vec3List vectors) {
    const Vec3List centroids = sources.centroid_list();
    double w_sum = 0.0;
    Vec3 s{};
    for (std::uint32_t p = range.start; p < range.end; ++p) {
        const double w = norm(vectors[p]) * sources.volumes[p];
        s = s + centroids[p] * w;
        w_sum += w;
    }
    const Vec3 center = weighted_centre(s, w_sum, cube_centre);

    Vec3 q_sum{};
    FirstMoment t{};
    for (std::uint32_t p = range.start; p < range.end; ++p) {
        const Vec3 q = vectors[p] * sources.volumes[p];
        const Vec3 d = centroids[p] - center;
        q_sum = q_sum + q;
        const double qa[3] = {q.x, q.y, q.z}, db[3] = {d.x, d.y, d.z};
        for (std::size_t a = 0; a < 3; ++a) {
            for (std::size_t b = 0; b < 3; ++b) t[3 * a + b] += qa[a] * db[b];
        }
    }
    out.weight[node] = w_sum;
    out.center[node] = center;
    out.moment[node] = q_sum;
    out.first_moment[node] = t;
}

void aggregate_parent(NodeMoments& out, std::size_t node, const NodeChildren& children, const Vec3& cube_centre) {
    double w_sum = 0.0;
    Vec3 s{};
    for (const std::int32_t c : children) {
        if (c == NO_CHILD) continue;
        s = s + out.center[c] * out.weight[c];
        w_sum += out.weight[c];
    }
    const Vec3 center = weighted_centre(s, w_sum, cube_centre);

    Vec3 q_sum{};
    FirstMoment t{};
    for (const std::int32_t c : children) {
        if (c == NO_CHILD) continue;
        const Vec3 q = out.moment[c];
        const Vec3 d = out.center[c] - center;
        const FirstMoment& tc = out.first_moment[c];
        q_sum = q_sum + q;
        const double qa[3] = {q.x, q.y, q.z}, db[3] = {d.x, d.y, d.z};
        for (std::size_t a = 0; a < 3; ++a) {
            for (std::size_t b = 0; b < 3; ++b) t[3 * a + b] = (qa[a] * db[b] + t[3 * a + b]) + tc[3 * a + b];
        }
    }
    out.weight[node] = w_sum;
    out.center[node] = center;
    out.moment[node] = q_sum;
    out.first_moment[node] = t;
}

}  // namespace

NodeMoments compute_node_moments(const OctreeTopology& topology, const OctreeSources& sources, Vec3List vectors) {
    const std::size_t m = sources.size();
    if (vectors.size() < m) fail_index(vectors.size(), vectors.size());
    const std::size_t k = topology.size();
    NodeMoments out;
    out.moment.resize(k);
    out.first_moment.resize(k);
    out.center.resize(k);
    out.weight.resize(k);
    out.radius.resize(k);

    // Children have larger indices than their parents: a reverse sweep sees
    // every child complete before its parent.
    for (std::size_t i = k; i-- > 0;) {
        if (topology.is_leaf[i]) {
            aggregate_leaf(out, i, topology.source_range[i], topology.centroids[i], sources, vectors);
        } else {
            aggregate_parent(out, i, topology.children[i], topology.centroids[i]);
        }
    }

    const Vec3List centroids = sources.centroid_list();
    for (std::size_t i = 0; i < k; ++i) {
        const SourceRange range = topology.source_range[i];
        const Vec3 center = out.center[i];
        double r = 0.0;
        for (std::uint32_t p = range.start; p < range.end; ++p) {
            const double reach = norm(centroids[p] - center) + sources.radii[p];
            if (reach > r) r = reach;
        }
        out.radius[i] = r;
    }
    return out;
}

}  // namespace corvane
