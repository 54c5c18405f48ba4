// Octree construction, aggregation and evaluation: invariants on random
// meshes and the edge cases of the subdivision and of the moments.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "lib/failure.hpp"
#include "octree/evaluation.hpp"
#include "octree/mod.hpp"

namespace corvane {
namespace {

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.what();
    }
    return "";
}

// Independent small tetrahedra: element e has nodes 4e .. 4e + 3 around a
// centre; the regular shape keeps every volume positive.
struct Mesh {
    std::vector<double> nodes;
    std::vector<std::uint32_t> tets;
    std::vector<double> vectors;

    Vec3List node_list() const { return Vec3List(nodes); }
    TetList tet_list() const { return {tets.data(), tets.size() / 4}; }
    Vec3List vector_list() const { return Vec3List(vectors); }
};

void add_element(Mesh& mesh, const Vec3& c, double size, const Vec3& vector) {
    const auto base = static_cast<std::uint32_t>(mesh.nodes.size() / 3);
    const Vec3 corners[4] = {{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}};
    for (const Vec3& k : corners) push_vec3(mesh.nodes, c + k * size);
    for (std::uint32_t k = 0; k < 4; ++k) mesh.tets.push_back(base + k);
    push_vec3(mesh.vectors, vector);
}

Mesh mesh_at(const std::vector<Vec3>& centres, double size = 0.01) {
    Mesh mesh;
    for (std::size_t e = 0; e < centres.size(); ++e) {
        add_element(mesh, centres[e], size, {1.0 + 0.1 * static_cast<double>(e % 7), -0.5, 0.25});
    }
    return mesh;
}

Mesh random_mesh(std::size_t m, unsigned seed, bool clustered = false) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> g(0.0, 0.05);
    Mesh mesh;
    for (std::size_t e = 0; e < m; ++e) {
        Vec3 c{u(rng), 0.5 * u(rng), 0.25 * u(rng)};
        if (clustered && e % 2 == 0) c = {0.3 + g(rng), -0.2 + g(rng), g(rng)};
        add_element(mesh, c, 0.002 + 0.01 * (u(rng) + 1.0), {u(rng), u(rng), u(rng)});
    }
    return mesh;
}

OctreeParams params(std::uint32_t max_leaf_size, double theta = 0.5) {
    return octree_params(theta, 1, max_leaf_size, 64, 1, true);
}

Octree build(const Mesh& mesh, std::uint32_t max_leaf_size) {
    return build_octree(mesh.node_list(), mesh.tet_list(), std::nullopt, mesh.vector_list(), params(max_leaf_size));
}

int used_slots(const NodeChildren& children) {
    return static_cast<int>(std::count_if(children.begin(), children.end(), [](std::int32_t c) { return c != NO_CHILD; }));
}

// Depth of every node, from the parent links.
std::vector<std::uint32_t> depths(const OctreeTopology& t) {
    std::vector<std::uint32_t> d(t.size(), 0);
    for (std::size_t i = 0; i < t.size(); ++i) {
        for (const std::int32_t c : t.children[i]) {
            if (c != NO_CHILD) d[c] = d[i] + 1;
        }
    }
    return d;
}

void expect_tree_invariants(const Octree& tree, std::uint32_t max_leaf_size, const std::vector<std::uint64_t>& keys) {
    const OctreeTopology& t = tree.topology;
    const std::size_t m = tree.sources.size();
    ASSERT_GT(t.size(), 1u);
    EXPECT_FALSE(t.is_leaf[0]);
    EXPECT_EQ(t.source_range[0].start, 0u);
    EXPECT_EQ(t.source_range[0].end, m);
    const std::vector<std::uint32_t> depth = depths(t);
    std::vector<int> parents(t.size(), 0);
    std::size_t leaf_elements = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        SCOPED_TRACE("node " + std::to_string(i));
        const SourceRange r = t.source_range[i];
        EXPECT_LT(r.start, r.end);
        EXPECT_LE(depth[i], MAX_DEPTH);
        if (i > 0) EXPECT_LE(depth[i - 1], depth[i]);  // breadth first
        EXPECT_EQ(t.sizes[i], t.sizes[0] / std::ldexp(1.0, static_cast<int>(depth[i])));
        const int n = used_slots(t.children[i]);
        if (t.is_leaf[i]) {
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(depth[i] == MAX_DEPTH || r.size() <= max_leaf_size || i == 0);
            leaf_elements += r.size();
            continue;
        }
        EXPECT_LT(depth[i], MAX_DEPTH);
        EXPECT_GT(r.size(), i == 0 ? 0u : max_leaf_size);
        ASSERT_GE(n, 1);
        std::uint32_t pos = r.start;
        std::uint64_t last_octant = 0;
        for (int s = 0; s < 8; ++s) {
            const std::int32_t c = t.children[i][s];
            if (s >= n) {
                EXPECT_EQ(c, NO_CHILD);
                continue;
            }
            ++parents[c];
            EXPECT_GT(static_cast<std::size_t>(c), i);
            if (s > 0) EXPECT_EQ(c, t.children[i][s - 1] + 1);  // consecutive, slot order
            EXPECT_EQ(t.source_range[c].start, pos);
            pos = t.source_range[c].end;
            // Every element of the child lies in the child's octant.
            const unsigned shift = 3 * (MAX_DEPTH - 1 - depth[i]);
            const std::uint64_t octant = (keys[t.source_range[c].start] >> shift) & 7;
            for (std::uint32_t p = t.source_range[c].start; p < t.source_range[c].end; ++p) {
                EXPECT_EQ(keys[p] >> shift, keys[t.source_range[c].start] >> shift);
            }
            if (s > 0) EXPECT_GT(octant, last_octant);
            last_octant = octant;
            const double q = t.sizes[c] / 2.0;
            EXPECT_EQ(t.centroids[c].x, t.centroids[i].x + ((octant & 1) ? q : -q));
            EXPECT_EQ(t.centroids[c].y, t.centroids[i].y + ((octant & 2) ? q : -q));
            EXPECT_EQ(t.centroids[c].z, t.centroids[i].z + ((octant & 4) ? q : -q));
        }
        EXPECT_EQ(pos, r.end);
    }
    EXPECT_EQ(leaf_elements, m);
    for (std::size_t i = 1; i < t.size(); ++i) EXPECT_EQ(parents[i], 1);
}

// Keys of the tree-order centroids in the root cube, as the build formed them.
std::vector<std::uint64_t> tree_keys(const Octree& tree) {
    const Vec3List c = tree.sources.centroid_list();
    const RootCube cube = bounding_cube(c);
    std::vector<std::uint64_t> keys;
    for (std::size_t p = 0; p < c.size(); ++p) keys.push_back(morton_code(c[p], cube.edge, cube.corner));
    return keys;
}

TEST(OctreeBuild, InvariantsOnRandomMeshes) {
    for (const auto& [m, leaf, seed, clustered] :
         std::vector<std::tuple<std::size_t, std::uint32_t, unsigned, bool>>{
             {1, 1, 1, false}, {7, 16, 2, false}, {500, 1, 3, false}, {3000, 16, 4, true}, {3000, 5, 5, false}}) {
        SCOPED_TRACE("m = " + std::to_string(m) + ", leaf = " + std::to_string(leaf));
        const Mesh mesh = random_mesh(m, seed, clustered);
        const Octree tree = build(mesh, leaf);
        const std::vector<std::uint64_t> keys = tree_keys(tree);
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        std::vector<std::size_t> order = tree.sources.order;
        std::sort(order.begin(), order.end());
        for (std::size_t e = 0; e < m; ++e) EXPECT_EQ(order[e], e);
        for (std::size_t p = 0; p < m; ++p) {
            EXPECT_EQ(tree.sources.connectivity[4 * p], mesh.tets[4 * tree.sources.order[p]]);
            EXPECT_GT(tree.sources.volumes[p], 0.0);
            EXPECT_GT(tree.sources.radii[p], 0.0);
        }
        expect_tree_invariants(tree, leaf, keys);
    }
}

TEST(OctreeBuild, OneElement) {
    const Mesh mesh = mesh_at({{0.5, -1.0, 2.0}});
    const Octree tree = build(mesh, 4);
    const OctreeTopology& t = tree.topology;
    ASSERT_EQ(t.size(), 2u);
    EXPECT_FALSE(t.is_leaf[0]);
    EXPECT_TRUE(t.is_leaf[1]);
    EXPECT_EQ(t.children[0][0], 1);
    EXPECT_EQ(used_slots(t.children[0]), 1);
    const Vec3 c = tree.sources.centroid_list()[0];
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(t.sizes[i], 0.0);
        EXPECT_EQ(t.centroids[i].x, c.x);
        EXPECT_EQ(t.centroids[i].y, c.y);
        EXPECT_EQ(t.centroids[i].z, c.z);
    }
}

TEST(OctreeBuild, IdenticalCentroidsGiveAChainToDepth21) {
    const Mesh mesh = mesh_at(std::vector<Vec3>(5, Vec3{1.0, 2.0, 3.0}));
    const Octree tree = build(mesh, 2);
    const OctreeTopology& t = tree.topology;
    ASSERT_EQ(t.size(), 22u);
    for (std::size_t i = 0; i < 22; ++i) {
        EXPECT_EQ(t.sizes[i], 0.0);
        EXPECT_EQ(t.source_range[i].size(), 5u);
        EXPECT_EQ(t.is_leaf[i] != 0, i == 21);
        if (i < 21) EXPECT_EQ(t.children[i][0], static_cast<std::int32_t>(i + 1));
    }
    // Equal keys keep their input order.
    for (std::size_t p = 0; p < 5; ++p) EXPECT_EQ(tree.sources.order[p], p);
}

TEST(OctreeBuild, RootIsSplitAndRunsOfLeafSizeBecomeLeaves) {
    // Octants of the root: 0 (two elements), 7 (one element).
    const Mesh small = mesh_at({{0, 0, 0}, {0.1, 0.1, 0.1}, {1, 1, 1}});
    const Octree t1 = build(small, 16);
    ASSERT_EQ(t1.topology.size(), 3u);
    EXPECT_EQ(t1.topology.source_range[1].size(), 2u);
    EXPECT_TRUE(t1.topology.is_leaf[1] && t1.topology.is_leaf[2]);
    // With a leaf size of 2 the run of two is a leaf; with 1 it is split.
    EXPECT_EQ(build(small, 2).topology.size(), 3u);
    const Octree t3 = build(small, 1);
    EXPECT_FALSE(t3.topology.is_leaf[1]);
    EXPECT_GT(t3.topology.size(), 3u);
}

TEST(OctreeBuild, CoplanarCentroidsUseLowerOctantsOnly) {
    const Mesh mesh = random_mesh(300, 9);
    Mesh flat = mesh;
    for (std::size_t i = 2; i < flat.nodes.size(); i += 3) {
        // Move each element so that its centroid has z = 0.7.
        const std::size_t e = (i / 3) / 4;
        double cz = 0.0;
        for (std::size_t k = 0; k < 4; ++k) cz += mesh.nodes[3 * (4 * e + k) + 2];
        flat.nodes[i] = mesh.nodes[i] - 0.25 * cz + 0.7;
    }
    const Octree tree = build(flat, 3);
    const std::vector<std::uint64_t> keys = tree_keys(tree);
    for (const std::uint64_t key : keys) EXPECT_EQ(key & 0x4924924924924924ULL, 0u);
    expect_tree_invariants(tree, 3, keys);
}

TEST(OctreeBuild, MortonCodeClampsTheFarFaceAndInterleaves) {
    const Vec3 corner{-1.0, -1.0, -1.0};
    EXPECT_EQ(morton_code({1.0, 1.0, 1.0}, 2.0, corner), (std::uint64_t{1} << 63) - 1);
    EXPECT_EQ(morton_code({-1.0, -1.0, -1.0}, 2.0, corner), 0u);
    EXPECT_EQ(morton_code({5.0, -7.0, std::nan("")}, 2.0, corner), 0x1249249249249249ULL);
    EXPECT_EQ(morton_code({0.0, 0.0, 0.0}, 0.0, {0.0, 0.0, 0.0}), 0u);
    // Upper half on y only: bit 1 of the top group.
    EXPECT_EQ(morton_code({-1.0, 0.0, -1.0}, 2.0, corner), std::uint64_t{1} << 61);
    // Smallest step on x: bit 0.
    EXPECT_EQ(morton_code({-1.0 + 2.0 / 2097152.0, -1.0, -1.0}, 2.0, corner), 1u);
}

TEST(OctreeBuild, ChildSlotsArePrefixFilled) {
    // Cube [0, 4]^3: root octants 0 (two elements), 1 and 7; inside octant 0
    // the two elements occupy octants 3 and 6.
    const Mesh mesh = mesh_at({{0.0, 1.5, 1.5}, {4, 4, 4}, {1.5, 1.5, 0.0}, {3, 0, 0}});
    const Octree tree = build(mesh, 1);
    const OctreeTopology& t = tree.topology;
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(used_slots(t.children[0]), 3);
    const NodeChildren& node = t.children[1];
    EXPECT_EQ(node[0], 4);
    EXPECT_EQ(node[1], 5);
    for (int s = 2; s < 8; ++s) EXPECT_EQ(node[s], NO_CHILD);
    EXPECT_EQ(tree.sources.order[0], 2u);  // octant 3 before octant 6
    EXPECT_EQ(tree.sources.order[1], 0u);
    EXPECT_EQ(t.centroids[4].x, 1.5);
    EXPECT_EQ(t.centroids[5].x, 0.5);
    EXPECT_EQ(t.centroids[5].z, 1.5);
}

TEST(OctreeBuild, Failures) {
    const Mesh mesh = random_mesh(10, 11);
    const Mesh none;
    EXPECT_EQ(failure_of([&] { build(none, 4); }), "octree: the source mesh has no elements");
    EXPECT_EQ(failure_of([&] { build(mesh, 0); }), "attempt to divide by zero");
    Mesh flat = mesh;
    flat.tets[4 * 6 + 3] = flat.tets[4 * 6 + 2];
    EXPECT_EQ(failure_of([&] { build(flat, 4); }), "assertion failed: v > 0.0");
    Mesh nan = mesh;
    nan.nodes[5] = std::nan("");
    EXPECT_EQ(failure_of([&] { build(nan, 4); }), "assertion failed: v > 0.0");
    Mesh outside = mesh;
    outside.tets[9] = 40;
    EXPECT_EQ(failure_of([&] { build(outside, 4); }), "index out of bounds: the len is 40 but the index is 40");
    const std::vector<double> short_vectors(27, 1.0);
    EXPECT_NE(failure_of([&] {
                  build_octree(mesh.node_list(), mesh.tet_list(), Vec3List(short_vectors), std::nullopt, params(4));
              }).find("index out of bounds"),
              std::string::npos);
    // Volume failures come before a zero leaf size.
    EXPECT_EQ(failure_of([&] { build(flat, 0); }), "assertion failed: v > 0.0");
}

// Direct sums over a node's elements about its centre.
void expect_moments_match(const Octree& tree, const NodeMoments& mo, const std::vector<double>& tree_vectors) {
    const Vec3List c = tree.sources.centroid_list();
    const Vec3List v(tree_vectors);
    for (std::size_t i = 0; i < tree.topology.size(); ++i) {
        const SourceRange r = tree.topology.source_range[i];
        Vec3 q{};
        FirstMoment t{};
        double scale = 0.0, tscale = 0.0;
        for (std::uint32_t p = r.start; p < r.end; ++p) {
            const Vec3 qp = v[p] * tree.sources.volumes[p];
            const Vec3 d = c[p] - mo.center[i];
            q = q + qp;
            const double qa[3] = {qp.x, qp.y, qp.z}, db[3] = {d.x, d.y, d.z};
            for (int a = 0; a < 3; ++a) {
                for (int b = 0; b < 3; ++b) {
                    t[3 * a + b] += qa[a] * db[b];
                    tscale += std::fabs(qa[a] * db[b]);
                }
            }
            scale += std::fabs(qp.x) + std::fabs(qp.y) + std::fabs(qp.z);
            const double reach = std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z) + tree.sources.radii[p];
            EXPECT_LE(reach, mo.radius[i]);
        }
        EXPECT_NEAR(mo.moment[i].x, q.x, 1e-12 * scale);
        EXPECT_NEAR(mo.moment[i].y, q.y, 1e-12 * scale);
        EXPECT_NEAR(mo.moment[i].z, q.z, 1e-12 * scale);
        for (int a = 0; a < 9; ++a) EXPECT_NEAR(mo.first_moment[i][a], t[a], 1e-12 * tscale + 1e-300);
    }
}

TEST(OctreeMoments, MatchDirectSumsAndEncloseElements) {
    const Mesh mesh = random_mesh(2000, 12, true);
    const Octree tree = build(mesh, 8);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    expect_moments_match(tree, mo, *tree.vectors_of(SourceKind::Magnetization));
    EXPECT_FALSE(tree.moments_of(SourceKind::CurrentDensity).has_value());
}

TEST(OctreeMoments, TwoElementLeaf) {
    // Same volume, opposite vectors, centroids (0, 0, 0) and (2, 0, 0); all
    // coordinates exact, so the sums are too.
    Mesh mesh;
    add_element(mesh, {0, 0, 0}, 0.125, {1, 0, 0});
    add_element(mesh, {2, 0, 0}, 0.125, {-1, 0, 0});
    // A third element far away puts the two in one octant of the root.
    add_element(mesh, {8, 8, 8}, 0.1, {0, 0, 1});
    const Octree tree = build(mesh, 2);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    const double v = tree.sources.volumes[0];
    ASSERT_EQ(tree.topology.source_range[1].size(), 2u);
    EXPECT_EQ(mo.weight[1], 2 * v);
    EXPECT_EQ(mo.center[1].x, 1.0);
    EXPECT_EQ(mo.center[1].y, 0.0);
    EXPECT_EQ(mo.moment[1].x, 0.0);
    EXPECT_EQ(mo.first_moment[1][0], -2 * v);
    for (int a = 1; a < 9; ++a) EXPECT_EQ(mo.first_moment[1][a], 0.0);
}

TEST(OctreeMoments, ZeroVectorsUseTheCubeCentre) {
    Mesh mesh = random_mesh(50, 13);
    std::fill(mesh.vectors.begin(), mesh.vectors.end(), 0.0);
    const Octree tree = build(mesh, 4);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    for (std::size_t i = 0; i < tree.topology.size(); ++i) {
        EXPECT_EQ(mo.weight[i], 0.0);
        EXPECT_EQ(mo.center[i].x, tree.topology.centroids[i].x);
        EXPECT_EQ(mo.center[i].z, tree.topology.centroids[i].z);
        EXPECT_EQ(mo.moment[i].y, 0.0);
        for (const double t : mo.first_moment[i]) EXPECT_EQ(t, 0.0);
        EXPECT_GT(mo.radius[i], 0.0);
    }
}

TEST(OctreeMoments, SingleWeightedChild) {
    // Root children: octant 0 with weight, octant 7 with a zero vector.
    Mesh mesh;
    add_element(mesh, {0, 0, 0}, 0.1, {0, 2, 0});
    add_element(mesh, {0.1, 0, 0}, 0.1, {0, 1, 1});
    add_element(mesh, {1, 1, 1}, 0.1, {0, 0, 0});
    const Octree tree = build(mesh, 2);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    EXPECT_EQ(mo.weight[2], 0.0);
    EXPECT_EQ(mo.moment[0].x, mo.moment[1].x);
    EXPECT_EQ(mo.moment[0].y, mo.moment[1].y);
    EXPECT_EQ(mo.moment[0].z, mo.moment[1].z);
    EXPECT_DOUBLE_EQ(mo.center[0].x, mo.center[1].x);
    for (int a = 0; a < 9; ++a) EXPECT_NEAR(mo.first_moment[0][a], mo.first_moment[1][a], 1e-18);
    // The root's radius also covers the zero-weight element.
    EXPECT_GT(mo.radius[0], mo.radius[1]);
}

TEST(OctreeMoments, ReaggregationIsRepeatableAndPerKind) {
    const Mesh mesh = random_mesh(400, 14);
    Octree tree = build(mesh, 6);
    const NodeMoments first = *tree.moments_of(SourceKind::Magnetization);
    aggregate_moments(tree, SourceKind::CurrentDensity, mesh.vector_list());
    aggregate_moments(tree, SourceKind::Magnetization, mesh.vector_list());
    const NodeMoments& again = *tree.moments_of(SourceKind::Magnetization);
    const NodeMoments& j = *tree.moments_of(SourceKind::CurrentDensity);
    for (std::size_t i = 0; i < tree.topology.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(first.radius[i]), std::bit_cast<std::uint64_t>(again.radius[i]));
        EXPECT_EQ(first.first_moment[i], again.first_moment[i]);
        EXPECT_EQ(first.moment[i].z, j.moment[i].z);
    }
    std::vector<double> scaled = mesh.vectors;
    for (double& x : scaled) x *= 2.0;
    aggregate_moments(tree, SourceKind::CurrentDensity, Vec3List(scaled));
    EXPECT_EQ(tree.moments_of(SourceKind::CurrentDensity)->moment[0].x, 2.0 * first.moment[0].x);
    EXPECT_EQ(tree.moments_of(SourceKind::Magnetization)->moment[0].x, first.moment[0].x);
}

TargetPoints random_targets(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.5, 1.5);
    TargetPoints t;
    for (std::size_t i = 0; i < n; ++i) {
        t.x.push_back(u(rng));
        t.y.push_back(u(rng));
        t.z.push_back(u(rng));
    }
    return t;
}

TEST(OctreeEvaluation, PiecesOfABatchChangeNoBit) {
    const Mesh mesh = random_mesh(1500, 15, true);
    Octree tree = build(mesh, 8);
    tree.params.batch_size = 300;
    const TargetPoints targets = random_targets(700, 16);
    for (const bool h : {false, true}) {
        FieldOutput whole(targets.size()), pieces(targets.size()), tiny(targets.size());
        const auto chunk = [&](FieldOutput& out) { return chunk_pairs(targets, out, targets.size())[0]; };
        evaluate_chunk(tree, chunk(whole), h, true);
        evaluate_chunk(tree, chunk(pieces), h, true, 5000);
        evaluate_chunk(tree, chunk(tiny), h, true, 1);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(whole.fx[i]), std::bit_cast<std::uint64_t>(pieces.fx[i]));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(whole.fz[i]), std::bit_cast<std::uint64_t>(tiny.fz[i]));
            EXPECT_TRUE(std::isfinite(whole.fy[i]));
        }
    }
}

TEST(OctreeEvaluation, MissingKindAndZeroBatchFail) {
    const Mesh mesh = random_mesh(20, 17);
    Octree tree = build(mesh, 4);
    const TargetPoints targets = random_targets(3, 18);
    FieldOutput out(3);
    const ChunkPair chunk = chunk_pairs(targets, out, 3)[0];
    EXPECT_EQ(failure_of([&] { evaluate_chunk(tree, chunk, true, false); }),
              "octree: no moments aggregated for current-density sources");
    tree.params.batch_size = 0;
    EXPECT_EQ(failure_of([&] { evaluate_chunk(tree, chunk, true, true); }), "chunk size must be non-zero");
    EXPECT_EQ(failure_of([&] { run_octree(tree, targets, out, true, false); }), "a scoped thread panicked");
}

}  // namespace
}  // namespace corvane
