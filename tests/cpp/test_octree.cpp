// Octree internals that Python cannot see: tree invariants on random meshes,
// subdivision and aggregation edge cases, and the evaluation against each
// target's own walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "biotsavart/direct.hpp"
#include "lib/failure.hpp"
#include "octree/evaluation.hpp"
#include "octree/kernels.hpp"
#include "octree/mod.hpp"

namespace corvane {
namespace {

// Independent regular tetrahedra: element e has nodes 4e .. 4e + 3 about a centre.
struct Mesh {
    std::vector<double> nodes, vectors;
    std::vector<std::uint32_t> tets;

    void add(const Vec3& c, double size, const Vec3& vector) {
        const auto base = static_cast<std::uint32_t>(nodes.size() / 3);
        for (const Vec3 k : {Vec3{1, 1, 1}, Vec3{1, -1, -1}, Vec3{-1, 1, -1}, Vec3{-1, -1, 1}}) {
            push_vec3(nodes, c + k * size);
        }
        for (std::uint32_t k = 0; k < 4; ++k) tets.push_back(base + k);
        push_vec3(vectors, vector);
    }
    Octree build(std::uint32_t leaf, double theta = 0.5, std::uint32_t order = 1, bool point = false) const {
        return build_octree(Vec3List(nodes), {tets.data(), tets.size() / 4}, Vec3List(vectors), Vec3List(vectors),
                            octree_params(theta, order, leaf, 64, 1, !point));
    }
};

Mesh mesh_at(const std::vector<Vec3>& centres, double size = 0.01) {
    Mesh mesh;
    for (const Vec3& c : centres) mesh.add(c, size, {1.0, -0.5, 0.25});
    return mesh;
}

Mesh random_mesh(std::size_t m, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> g(0.0, 0.05);
    Mesh mesh;
    for (std::size_t e = 0; e < m; ++e) {
        // Half of the elements in a dense cluster, so that depths vary.
        const Vec3 c = e % 2 ? Vec3{u(rng), 0.5 * u(rng), 0.25 * u(rng)} : Vec3{0.3 + g(rng), g(rng), g(rng)};
        mesh.add(c, 0.002 + 0.01 * (u(rng) + 1.0), {u(rng), u(rng), u(rng)});
    }
    return mesh;
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

int used_slots(const NodeChildren& children) {
    return static_cast<int>(std::count_if(children.begin(), children.end(), [](std::int32_t c) { return c != NO_CHILD; }));
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

TEST(OctreeBuild, InvariantsOnRandomMeshes) {
    for (const auto& [m, leaf] : std::vector<std::pair<std::size_t, std::uint32_t>>{{1, 1}, {7, 16}, {500, 1}, {3000, 5}}) {
        SCOPED_TRACE("m = " + std::to_string(m) + ", leaf = " + std::to_string(leaf));
        const Mesh mesh = random_mesh(m, static_cast<unsigned>(m));
        const Octree tree = mesh.build(leaf);
        const OctreeTopology& t = tree.topology;
        const Vec3List c = tree.sources.centroid_list();
        const RootCube cube = bounding_cube(c);
        std::vector<std::uint64_t> keys;
        for (std::size_t p = 0; p < m; ++p) {
            keys.push_back(morton_code(c[p], cube.edge, cube.corner));
            EXPECT_EQ(tree.sources.connectivity[4 * p], mesh.tets[4 * tree.sources.order[p]]);
        }
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        EXPECT_FALSE(t.is_leaf[0]);
        EXPECT_EQ(t.source_range[0].end, m);
        std::vector<std::uint32_t> depth(t.size(), 0);
        std::vector<int> parents(t.size(), 0);
        for (std::size_t i = 0; i < t.size(); ++i) {
            const SourceRange r = t.source_range[i];
            EXPECT_LT(r.start, r.end);
            EXPECT_LE(depth[i], MAX_DEPTH);
            EXPECT_EQ(t.sizes[i], t.sizes[0] / std::ldexp(1.0, static_cast<int>(depth[i])));
            const int n = used_slots(t.children[i]);
            EXPECT_EQ(t.is_leaf[i] != 0, n == 0);
            if (t.is_leaf[i]) {
                EXPECT_TRUE(depth[i] == MAX_DEPTH || r.size() <= leaf);
                continue;
            }
            EXPECT_TRUE(i == 0 || r.size() > leaf);
            std::uint32_t pos = r.start;
            const unsigned shift = 3 * (MAX_DEPTH - 1 - depth[i]);
            for (int s = 0; s < n; ++s) {
                const std::int32_t ch = t.children[i][s];
                depth[ch] = depth[i] + 1;
                ++parents[ch];
                if (s > 0) {
                    EXPECT_EQ(ch, t.children[i][s - 1] + 1);
                }
                EXPECT_GT(static_cast<std::size_t>(ch), i);
                const SourceRange cr = t.source_range[ch];
                EXPECT_EQ(cr.start, pos);  // consecutive ranges covering the parent
                pos = cr.end;
                // Every element of the child is in the child's octant, one octant per child.
                EXPECT_EQ(keys[cr.start] >> shift, keys[cr.end - 1] >> shift);
                if (s > 0) {
                    EXPECT_LT(keys[cr.start - 1] >> shift, keys[cr.start] >> shift);
                }
                const std::uint64_t octant = (keys[cr.start] >> shift) & 7;
                const double q = t.sizes[ch] / 2.0;
                EXPECT_EQ(t.centroids[ch].x, t.centroids[i].x + ((octant & 1) ? q : -q));
                EXPECT_EQ(t.centroids[ch].y, t.centroids[i].y + ((octant & 2) ? q : -q));
                EXPECT_EQ(t.centroids[ch].z, t.centroids[i].z + ((octant & 4) ? q : -q));
            }
            EXPECT_EQ(pos, r.end);
        }
        for (std::size_t i = 1; i < t.size(); ++i) EXPECT_EQ(parents[i], 1);
        // Breadth first: depths never decrease with the index.
        EXPECT_TRUE(std::is_sorted(depth.begin(), depth.end()));
    }
}

TEST(OctreeBuild, SubdivisionEdgeCases) {
    // One element: root and one leaf, both of size 0 at the centroid.
    const Octree one = mesh_at({{0.5, -1.0, 2.0}}).build(4);
    ASSERT_EQ(one.topology.size(), 2u);
    EXPECT_EQ(one.topology.sizes[1], 0.0);
    EXPECT_EQ(one.topology.centroids[1].z, one.sources.centroids[2]);
    // Identical centroids: a chain down to depth 21, 22 nodes; equal keys keep input order.
    const Octree chain = mesh_at(std::vector<Vec3>(5, Vec3{1.0, 2.0, 3.0})).build(2);
    ASSERT_EQ(chain.topology.size(), 22u);
    for (std::size_t i = 0; i < 22; ++i) EXPECT_EQ(chain.topology.is_leaf[i] != 0, i == 21);
    for (std::size_t p = 0; p < 5; ++p) EXPECT_EQ(chain.sources.order[p], p);
    // Root octants 0 (two elements) and 7: the root is split however large the
    // leaves may be; a run of exactly max_leaf_size is a leaf, one more is split.
    const Mesh three = mesh_at({{0, 0, 0}, {0.1, 0.1, 0.1}, {1, 1, 1}});
    EXPECT_EQ(three.build(16).topology.size(), 3u);
    EXPECT_EQ(three.build(2).topology.size(), 3u);
    EXPECT_GT(three.build(1).topology.size(), 3u);
    // Cube [0, 4]^3: inside root octant 0 the elements occupy octants 3 and 6,
    // which take slots 0 and 1.
    const Octree slots = mesh_at({{0.0, 1.5, 1.5}, {4, 4, 4}, {1.5, 1.5, 0.0}, {3, 0, 0}}).build(1);
    ASSERT_EQ(slots.topology.size(), 6u);
    const NodeChildren& node = slots.topology.children[1];
    EXPECT_EQ(node[0], 4);
    EXPECT_EQ(node[1], 5);
    EXPECT_EQ(used_slots(node), 2);
    EXPECT_EQ(slots.sources.order[0], 2u);
    EXPECT_EQ(slots.topology.centroids[5].x, 0.5);
}

TEST(OctreeBuild, MortonCodeClampsAndInterleaves) {
    const Vec3 corner{-1.0, -1.0, -1.0};
    EXPECT_EQ(morton_code({1.0, 1.0, 1.0}, 2.0, corner), (std::uint64_t{1} << 63) - 1);  // far face
    EXPECT_EQ(morton_code({5.0, -7.0, std::nan("")}, 2.0, corner), 0x1249249249249249ULL);
    EXPECT_EQ(morton_code({0.0, 0.0, 0.0}, 0.0, {0.0, 0.0, 0.0}), 0u);
    EXPECT_EQ(morton_code({-1.0, 0.0, -1.0}, 2.0, corner), std::uint64_t{1} << 61);
    EXPECT_EQ(morton_code({-1.0 + 2.0 / 2097152.0, -1.0, -1.0}, 2.0, corner), 1u);
}

TEST(OctreeMoments, MatchDirectSumsAndEncloseElements) {
    const Octree tree = random_mesh(2000, 12).build(8);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    const Vec3List c = tree.sources.centroid_list();
    const Vec3List v(*tree.vectors_of(SourceKind::Magnetization));
    for (std::size_t i = 0; i < tree.topology.size(); ++i) {
        Vec3 q{};
        FirstMoment t{};
        double scale = 0.0;
        for (std::uint32_t p = tree.topology.source_range[i].start; p < tree.topology.source_range[i].end; ++p) {
            const Vec3 qp = v[p] * tree.sources.volumes[p];
            const Vec3 d = c[p] - mo.center[i];
            q = q + qp;
            const double qa[3] = {qp.x, qp.y, qp.z}, db[3] = {d.x, d.y, d.z};
            for (int k = 0; k < 9; ++k) t[k] += qa[k / 3] * db[k % 3];
            scale += std::sqrt(qp.x * qp.x + qp.y * qp.y + qp.z * qp.z);
            EXPECT_LE(std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z) + tree.sources.radii[p], mo.radius[i]);
        }
        EXPECT_NEAR(mo.moment[i].x, q.x, 1e-12 * scale);
        EXPECT_NEAR(mo.moment[i].z, q.z, 1e-12 * scale);
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(mo.first_moment[i][k], t[k], 1e-12 * scale);
    }
}

TEST(OctreeMoments, TwoElementLeafAndZeroVectors) {
    // Same volume, opposite vectors, centroids (0, 0, 0) and (2, 0, 0), all
    // coordinates exact; a third element makes the cube [0, 8]^3.
    Mesh mesh;
    mesh.add({0, 0, 0}, 0.125, {1, 0, 0});
    mesh.add({2, 0, 0}, 0.125, {-1, 0, 0});
    mesh.add({8, 8, 8}, 0.125, {0, 0, 0});
    const Octree tree = mesh.build(2);
    const NodeMoments& mo = *tree.moments_of(SourceKind::Magnetization);
    const double v = tree.sources.volumes[0];
    EXPECT_EQ(mo.weight[1], 2 * v);
    EXPECT_EQ(mo.center[1].x, 1.0);
    EXPECT_EQ(mo.moment[1].x, 0.0);
    EXPECT_EQ(mo.first_moment[1][0], -2 * v);
    for (int k = 1; k < 9; ++k) EXPECT_EQ(mo.first_moment[1][k], 0.0);
    // The zero-vector leaf takes its cube centre; its parent, the root, the
    // centre of the weighted child.
    EXPECT_EQ(mo.weight[2], 0.0);
    EXPECT_EQ(mo.center[2].x, tree.topology.centroids[2].x);
    EXPECT_EQ(mo.center[0].x, 1.0);
    EXPECT_GT(mo.radius[0], 8.0);
}

TEST(OctreeMoments, ReaggregationIsRepeatableAndPerKind) {
    const Mesh mesh = random_mesh(400, 14);
    Octree tree = mesh.build(6);
    const NodeMoments first = *tree.moments_of(SourceKind::Magnetization);
    std::vector<double> doubled = mesh.vectors;
    for (double& x : doubled) x *= 2.0;
    aggregate_moments(tree, SourceKind::CurrentDensity, Vec3List(doubled));
    aggregate_moments(tree, SourceKind::Magnetization, Vec3List(mesh.vectors));
    const NodeMoments& again = *tree.moments_of(SourceKind::Magnetization);
    const NodeMoments& j = *tree.moments_of(SourceKind::CurrentDensity);
    for (std::size_t i = 0; i < tree.topology.size(); ++i) {
        EXPECT_TRUE(same_bits(first.radius[i], again.radius[i]));
        EXPECT_EQ(first.first_moment[i], again.first_moment[i]);
        EXPECT_EQ(j.moment[i].y, 2.0 * first.moment[i].y);
    }
}

// The traversal's sums written out target by target: walk alone, then add
// the near elements in tree order and the far nodes in index order, each
// contribution computed on its own into a zeroed output.
FieldOutput reference_evaluation(const Octree& tree, const TargetPoints& targets, bool h, bool m) {
    const NodeMoments& mo = *tree.moments_of(m ? SourceKind::Magnetization : SourceKind::CurrentDensity);
    const Vec3List vectors(*tree.vectors_of(m ? SourceKind::Magnetization : SourceKind::CurrentDensity));
    const ElementKernel near = select_kernel(m, h, tree.params.use_point_kernels);
    const bool one = tree.params.order_is_one;
    const MultipoleKernel far = m ? (h ? multipole_h_from_m_0 : (one ? multipole_a_from_m_1 : multipole_a_from_m_0))
                                  : (h ? (one ? multipole_h_from_j_1 : multipole_h_from_j_0) : multipole_a_from_j);
    const OctreeTopology& t = tree.topology;
    const TetList tets = tree.sources.connectivity_list();
    const Vec3List nodes = tree.sources.node_list();
    FieldOutput out(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const double x[1] = {targets.x[i]}, y[1] = {targets.y[i]}, z[1] = {targets.z[i]};
        std::vector<std::size_t> near_elements, far_nodes, stack{0};
        while (!stack.empty()) {
            const std::size_t n = stack.back();
            stack.pop_back();
            const Vec3 d = Vec3{x[0], y[0], z[0]} - mo.center[n];
            if (tree.params.theta * std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z) > mo.radius[n]) {
                far_nodes.push_back(n);
            } else if (t.is_leaf[n]) {
                for (std::uint32_t p = t.source_range[n].start; p < t.source_range[n].end; ++p) near_elements.push_back(p);
            } else {
                for (int s = 0; s < used_slots(t.children[n]); ++s) stack.push_back(static_cast<std::size_t>(t.children[n][s]));
            }
        }
        std::sort(near_elements.begin(), near_elements.end());
        std::sort(far_nodes.begin(), far_nodes.end());
        double sum[3] = {0.0, 0.0, 0.0};
        const auto add = [&](const std::function<void(const ChunkPair&)>& kernel) {
            double f[3] = {0.0, 0.0, 0.0};
            kernel(ChunkPair{x, y, z, {f, 1}, {f + 1, 1}, {f + 2, 1}});
            for (int a = 0; a < 3; ++a) sum[a] += f[a];
        };
        for (const std::size_t p : near_elements) {
            const Tet tet = tets[p];
            const ElementNodes element{nodes[tet[0]], nodes[tet[1]], nodes[tet[2]], nodes[tet[3]]};
            add([&](const ChunkPair& c) { near(element, vectors[p], c); });
        }
        for (const std::size_t n : far_nodes) add([&](const ChunkPair& c) { far(mo.expansion(n), c); });
        out.fx[i] += sum[0];
        out.fy[i] += sum[1];
        out.fz[i] += sum[2];
    }
    return out;
}

TEST(OctreeEvaluation, EqualsTheSumsOfEachTargetsOwnWalk) {
    const Mesh mesh = random_mesh(1200, 19);
    TargetPoints targets = random_targets(300, 20);
    for (std::size_t e = 0; e < 40; ++e) {  // among the elements too, next to a vertex
        targets.x.push_back(mesh.nodes[12 * e] - 0.001);
        targets.y.push_back(mesh.nodes[12 * e + 1] - 0.001);
        targets.z.push_back(mesh.nodes[12 * e + 2] - 0.001);
    }
    // A dense cluster (groups of targets decided together, and split ones),
    // a far corner, and coordinates that are not finite.
    const TargetPoints cluster = random_targets(400, 21);
    for (std::size_t i = 0; i < cluster.size(); ++i) {
        targets.x.push_back(0.3 + 0.05 * cluster.x[i]);
        targets.y.push_back(0.2 + 0.05 * cluster.y[i]);
        targets.z.push_back(-0.1 + 0.05 * cluster.z[i]);
    }
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (const double v : {40.0, nan, inf, -inf}) {
        targets.x.push_back(0.3);
        targets.y.push_back(v);
        targets.z.push_back(40.0);
    }
    for (const bool point : {false, true}) {
        for (const std::uint32_t order : {0u, 1u}) {
            const Octree tree = mesh.build(10, 0.6, order, point);
            for (const bool m : {false, true}) {
                for (const bool h : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "point " << point << " order " << order << " m " << m << " h " << h);
                    FieldOutput out(targets.size());
                    run_octree(tree, targets, out, h, m);
                    const FieldOutput ref = reference_evaluation(tree, targets, h, m);
                    for (std::size_t i = 0; i < targets.size(); ++i) {
                        EXPECT_TRUE(same_bits(out.fx[i], ref.fx[i]) && same_bits(out.fy[i], ref.fy[i]) &&
                                    same_bits(out.fz[i], ref.fz[i]));
                    }
                }
            }
        }
    }
}

TEST(OctreeEvaluation, PiecesOfABatchChangeNoBit) {
    // Bounds on the records of a piece, and a batch over 65,536 targets.
    Octree tree = random_mesh(1500, 15).build(8);
    const TargetPoints targets = random_targets(70000, 16);
    FieldOutput whole(targets.size());
    tree.params.batch_size = 100000;
    run_octree(tree, targets, whole, true, true);
    for (const std::size_t bound : {std::size_t{5000}, std::size_t{1}}) {
        FieldOutput pieces(targets.size());
        tree.params.batch_size = 300;
        evaluate_chunk(tree, chunk_pairs(targets, pieces, targets.size())[0], true, true, bound);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            ASSERT_TRUE(same_bits(whole.fx[i], pieces.fx[i]) && same_bits(whole.fz[i], pieces.fz[i])) << i;
        }
    }
}

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.what();
    }
    return "no failure";
}

TEST(OctreeFailures, CountsAndMissingKind) {
    Mesh mesh = random_mesh(20, 17);
    const auto params = octree_params(0.5, 1, 4, 8, 1, true);
    // 2^32 elements are refused before any of them is read or anything allocated.
    EXPECT_EQ(failure_of([&] {
                  build_octree(Vec3List(mesh.nodes), {mesh.tets.data(), std::size_t{1} << 32}, std::nullopt,
                               std::nullopt, params);
              }),
              "octree: 4294967296 elements exceed the 32-bit element positions");
    EXPECT_EQ(failure_of([&] { build_octree(Vec3List(mesh.nodes), {}, std::nullopt, std::nullopt, params); }),
              "octree: the source mesh has no elements");
    const Octree tree = build_octree(Vec3List(mesh.nodes), {mesh.tets.data(), 20}, std::nullopt,
                                     Vec3List(mesh.vectors), params);
    const TargetPoints targets = random_targets(3, 18);
    FieldOutput out(3);
    EXPECT_EQ(failure_of([&] { evaluate_chunk(tree, chunk_pairs(targets, out, 3)[0], true, false); }),
              "octree: no moments aggregated for current-density sources");
}

}  // namespace
}  // namespace corvane
