// Octree construction, aggregation per kind, threaded evaluation.
#include "octree/mod.hpp"

#include <limits>

#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "lib/thread_scope.hpp"
#include "math/permutation.hpp"
#include "octree/evaluation.hpp"

namespace corvane {

OctreeParams octree_params(double theta, std::uint32_t multipole_order, std::uint32_t max_leaf_size,
                           std::uint32_t batch_size, std::uint32_t n_threads_requested, bool element_integration) {
    return OctreeParams{theta, batch_size, max_leaf_size, n_threads_requested, multipole_order == 1,
                        !element_integration};
}

Octree build_octree(Vec3List nodes, TetList connectivity, std::optional<Vec3List> current_density,
                    std::optional<Vec3List> magnetization, const OctreeParams& params) {
    const std::size_t m = connectivity.size();
    if (m == 0) fail("octree: the source mesh has no elements");
    if (m > std::numeric_limits<std::uint32_t>::max()) {
        fail("octree: " + std::to_string(m) + " elements exceed the 32-bit element positions");
    }
    KeyedSources keyed = build_sources(nodes, connectivity);
    Octree tree{build_topology(keyed.keys, keyed.cube, params.max_leaf_size), std::move(keyed.sources), params,
                {}, {}};
    if (current_density) aggregate_moments(tree, SourceKind::CurrentDensity, *current_density);
    if (magnetization) aggregate_moments(tree, SourceKind::Magnetization, *magnetization);
    return tree;
}

void aggregate_moments(Octree& tree, SourceKind kind, Vec3List vectors) {
    const std::size_t k = static_cast<std::size_t>(kind);
    const std::optional<std::vector<double>> given(std::in_place, vectors.data(),
                                                   vectors.data() + 3 * vectors.size());
    std::optional<std::vector<double>> tree_order = apply_permutation(given, tree.sources.order);
    NodeMoments moments = compute_node_moments(tree.topology, tree.sources, Vec3List(*tree_order));
    tree.vectors[k] = std::move(tree_order);
    tree.moments[k] = std::move(moments);
}

void run_octree(const Octree& tree, const TargetPoints& targets, FieldOutput& output, bool h_field,
                bool magnetization) {
    const std::size_t n_threads = thread_count(tree.params.n_threads_requested);
    const std::size_t chunk_size = ceil_div(targets.size(), n_threads);
    const std::vector<ChunkPair> chunks = chunk_pairs(targets, output, chunk_size);
    run_scoped(chunks.size(), [&](std::size_t c) { evaluate_chunk(tree, chunks[c], h_field, magnetization); });
}

void run_octree_request(Vec3List nodes, TetList elements, Vec3List vectors, std::uint32_t src_vector_type,
                        bool h_field, const TargetPoints& targets, FieldOutput& output, double theta,
                        std::uint32_t multipole_order, std::uint32_t max_leaf_size, std::uint32_t batch_size,
                        std::uint32_t n_threads_requested, bool element_integration) {
    // Codes other than 0 are magnetisations, as on the direct path.
    const bool magnetization = src_vector_type != 0;
    const OctreeParams params =
        octree_params(theta, multipole_order, max_leaf_size, batch_size, n_threads_requested, element_integration);
    std::optional<Vec3List> current_density, magnetisation;
    (magnetization ? magnetisation : current_density) = vectors;
    const Octree tree = build_octree(nodes, elements, current_density, magnetisation, params);
    run_octree(tree, targets, output, h_field, magnetization);
}

}  // namespace corvane
