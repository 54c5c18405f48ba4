// The near field of an operator: for each target leaf, one dense block of
// (target, element) interactions over the elements that reach its targets
// directly. An element within near_factor times its radius of a target is
// integrated exactly (closed-form element kernels), less the part of its
// quadrature points that the far field already carries; every other element
// of the block contributes its quadrature points in the leaves that meet the
// target leaf directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fmm/elements.hpp"
#include "fmm/interactions.hpp"
#include "fmm/kinds.hpp"
#include "fmm/tree.hpp"
#include "lib/work_queue.hpp"

namespace corvane::fmm {

// What the near field reads of the operator.
struct NearInputs {
    const Tree& tree;
    const Interactions& lists;
    const Elements& elements;
    const Points& targets;                    // in tree order
    const std::vector<std::uint32_t>& point_slot;  // element point e * q + j -> its tree position
    Kind kind;
    double near_factor;
};

class NearField {
public:
    // Element lists of every target leaf.
    NearField(const NearInputs& in, std::size_t n_threads, const Poll& poll);

    std::size_t n_blocks() const { return block_leaf_.size(); }
    std::uint32_t leaf(std::size_t block) const { return block_leaf_[block]; }
    std::int64_t block_of(std::uint32_t box) const { return leaf_block_[box]; }
    // (target, element) interactions over all blocks, and the bytes they take stored.
    std::uint64_t n_interactions() const { return entry_begin_.back(); }
    std::uint64_t n_exact() const { return n_exact_; }
    std::uint64_t bytes(bool single_precision) const;

    // Computes and keeps every block's values (single or double precision).
    void store(const NearInputs& in, bool single_precision, std::size_t n_threads, const Poll& poll);
    bool stored() const { return stored_; }

    // Scratch of one thread for compute-as-you-go application.
    struct Scratch {
        std::vector<double> values;
        std::vector<std::uint8_t> direct;  // per box: a source leaf of the block's leaf
    };

    // Adds block b's field at its targets (tree order) to out[3 * t ...],
    // from the stored values or computed afresh.
    void add_block(const NearInputs& in, std::size_t b, const double* vectors, double* out, Scratch& scratch) const;

private:
    void compute_block(const NearInputs& in, std::size_t b, double* values, Scratch& scratch,
                       std::uint64_t* n_exact) const;

    std::vector<std::int64_t> leaf_block_;     // per box: its block, or -1
    std::vector<std::uint32_t> block_leaf_;
    std::vector<std::uint64_t> element_begin_; // per block, into elements_
    std::vector<std::uint32_t> elements_;
    std::vector<std::uint64_t> entry_begin_;   // per block: first (target, element) pair
    std::vector<float> single_;
    std::vector<double> double_;
    bool stored_ = false;
    bool single_precision_ = false;
    std::uint64_t n_exact_ = 0;
    std::size_t entry_size_ = 0;
};

}  // namespace corvane::fmm
