// A linear operator from the element vectors of a tetrahedral mesh to a field
// at fixed targets, by a fast multipole method: built once (tree, interaction
// lists, translation matrices, near-field blocks), then applied to any number
// of vector sets. Its accuracy is set by a tolerance on the relative RMS
// error; the results of an application do not depend on the thread count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "fmm/elements.hpp"
#include "fmm/interactions.hpp"
#include "fmm/kinds.hpp"
#include "fmm/near_field.hpp"
#include "fmm/rotations.hpp"
#include "fmm/translations.hpp"
#include "fmm/tree.hpp"
#include "lib/work_queue.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

// What a tolerance asks of the method.
struct Parameters {
    std::size_t order;              // largest expansion order p
    double translation_bound;       // error bound of each translation (orders.hpp)
    double near_factor;             // exact integration within this many element radii
    std::size_t quadrature_degree;  // of the element points of the far field and near blocks
    bool product_rule;              // that degree's conical product rule (the tightest tolerances)
    std::size_t leaf_elements;      // elements per leaf (the leaf holds that many of their points)
    std::size_t leaf_targets;       // targets per leaf
    bool single_precision;          // near-field values kept as float
};
Parameters parameters_for(double tolerance);

struct OperatorSettings {
    Kind kind{Source::Magnetization, Field::H};
    double tolerance = 1e-4;
    std::size_t n_threads = 1;
    std::uint64_t memory_limit = 0;  // bytes the near-field values may take
};

struct OperatorInfo {
    std::size_t elements = 0, targets = 0, order = 0, boxes = 0, levels = 0;
    std::size_t translations = 0;             // distinct translation matrices
    std::uint64_t far_interactions = 0;       // multipole-to-local pairs
    std::uint64_t near_interactions = 0;      // (target, element) pairs of the near field
    std::uint64_t exact_pairs = 0;            // of them, integrated exactly
    std::uint64_t bytes = 0;                  // kept by the operator
    std::uint64_t near_bytes = 0;             // of them, the near values
    std::uint64_t apply_bytes = 0;            // taken and given back by each application
    NearStorage near_storage = NearStorage::None;
    double build_seconds = 0.0;
};

// Progress of a build or an application (fraction done, 0..1), reported on
// the calling thread; returning false stops the work with Cancelled.
using Progress = std::function<bool(double)>;

class FieldOperator {
public:
    // nodes: (x, y, z) per node; tets: four node indices per element; targets
    // in metres. Fails on an index out of range, an element without positive
    // volume, non-finite coordinates or no elements.
    FieldOperator(Vec3List nodes, TetList tets, const Points& targets, const OperatorSettings& settings,
                  const Progress& progress);

    // out: n_targets (x, y, z) triples, overwritten with the field of the
    // element vectors (n_elements triples).
    void apply(const double* vectors, double* out, const Progress& progress) const;

    const OperatorInfo& info() const { return info_; }
    std::size_t n_elements() const { return elements_.size(); }
    std::size_t n_targets() const { return targets_.size(); }

private:
    // The tree of the points and targets with leaves of that size, the
    // interaction lists and the near field's element lists.
    void plan(std::size_t leaf_elements, std::size_t leaf_targets, const Points& targets, std::size_t threads,
              const std::function<Poll(double)>& stage);
    // What plan() makes, set aside while another leaf size is tried.
    struct Plan {
        Tree tree;
        Points targets;
        std::vector<std::uint32_t> point_slot;
        Points points;
        std::vector<double> point_weights;
        std::vector<std::uint32_t> point_element;
        Interactions lists;
        std::unique_ptr<NearField> near;
    };
    Plan take_plan();
    void put_plan(Plan&& plan);
    // An application's cost in kept near values, from the plan's far and near interactions.
    double application_cost() const;
    NearInputs near_inputs() const;

    OperatorSettings settings_;
    Parameters parameters_;
    Elements elements_;
    Tree tree_;
    Points targets_;                      // tree order
    std::vector<std::uint32_t> point_slot_;
    // Source points in tree order.
    Points points_;
    std::vector<double> point_weights_;
    std::vector<std::uint32_t> source_leaves_;  // leaves that hold source points
    std::vector<std::array<std::vector<std::uint32_t>, 8>> upward_, downward_;  // per level and octant
    std::vector<std::uint32_t> point_element_;
    Interactions lists_;
    std::vector<std::shared_ptr<const AxialTranslation>> translations_;  // per key, at its order
    std::vector<AxialTranslation> m2m_, l2l_;  // per child octant
    // Far pairs cut into chunks of target boxes, each sorted by translation.
    std::vector<std::size_t> chunk_begin_;
    std::vector<FarPair> chunk_pairs_;
    std::size_t far_pairs_ = 0;
    std::unique_ptr<NearField> near_;
    OperatorInfo info_;
};

}  // namespace corvane::fmm
