// The octree path of a field evaluation: build a tree over the source
// elements, aggregate multipole moments, evaluate near field through the
// element kernels and far field through the expansions, on worker threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "lib/records.hpp"
#include "math/vec3.hpp"
#include "octree/aggregation.hpp"
#include "octree/bbox.hpp"
#include "octree/node.hpp"
#include "octree/sources.hpp"
#include "octree/topology.hpp"

namespace corvane {

// Settings of one octree evaluation.
struct OctreeParams {
    double theta;                       // a node is used whole when theta x distance > its radius
    std::size_t batch_size;             // targets per batch of a worker
    std::uint32_t max_leaf_size;        // a node with at most this many elements is a leaf
    std::uint32_t n_threads_requested;  // 0: one thread per processor
    bool order_is_one;                  // first-order far-field kernels where they exist
    bool use_point_kernels;             // near field through the point kernels
};

// Forms the settings from a request's arguments: only whether
// multipole_order is 1 matters; element_integration false selects the
// point kernels.
OctreeParams octree_params(double theta, std::uint32_t multipole_order, std::uint32_t max_leaf_size,
                           std::uint32_t batch_size, std::uint32_t n_threads_requested, bool element_integration);

enum class SourceKind { CurrentDensity = 0, Magnetization = 1 };

// A tree over tetrahedral source elements. It owns copies of everything it
// reads; per source kind it holds the element vectors in tree order and the
// node moments once that kind has been aggregated.
struct Octree {
    OctreeTopology topology;
    OctreeSources sources;
    OctreeParams params;
    std::array<std::optional<std::vector<double>>, 2> vectors;  // flat triples, tree order
    std::array<std::optional<NodeMoments>, 2> moments;

    const std::optional<std::vector<double>>& vectors_of(SourceKind kind) const {
        return vectors[static_cast<std::size_t>(kind)];
    }
    const std::optional<NodeMoments>& moments_of(SourceKind kind) const {
        return moments[static_cast<std::size_t>(kind)];
    }
};

// Builds the tree over the elements (nodes in metres, four node indices per
// element) and aggregates the moments of each vector list given, current
// density first. Fails, before anything else is computed, when there are no
// elements or 2^32 or more; then on a node index out of range, on an element
// whose volume is not positive ("assertion failed: v > 0.0"), on
// max_leaf_size 0 ("attempt to divide by zero") and on a vector list shorter
// than the elements.
Octree build_octree(Vec3List nodes, TetList connectivity, std::optional<Vec3List> current_density,
                    std::optional<Vec3List> magnetization, const OctreeParams& params);

// Replaces the tree-order vectors and node moments of `kind` with those of
// `vectors` (one per element, caller's element order). Leaves the other kind
// untouched; may be called again whenever the vectors change.
void aggregate_moments(Octree& tree, SourceKind kind, Vec3List vectors);

// Adds at every target the field (H when h_field, otherwise A) of all
// elements of the kind (magnetisation when `magnetization`), whose moments
// must have been aggregated. Targets are split over worker threads as on the
// direct path; a target's result depends neither on the thread count nor on
// the batch size.
void run_octree(const Octree& tree, const TargetPoints& targets, FieldOutput& output, bool h_field,
                bool magnetization);

// The octree path of a field request: builds a tree with `vectors` filed as
// current densities (src_vector_type 0) or magnetisations (any other code),
// adds the requested field at the targets and releases the tree.
void run_octree_request(Vec3List nodes, TetList elements, Vec3List vectors, std::uint32_t src_vector_type,
                        bool h_field, const TargetPoints& targets, FieldOutput& output, double theta,
                        std::uint32_t multipole_order, std::uint32_t max_leaf_size, std::uint32_t batch_size,
                        std::uint32_t n_threads_requested, bool element_integration);

}  // namespace corvane
