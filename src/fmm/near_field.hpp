// The near field of an operator. For each target leaf, the elements that
// reach its targets directly: an element within near_factor times its radius
// of a target is integrated exactly there (closed-form element kernels), less
// the part of its quadrature points that the far field already carries; the
// others contribute their quadrature points in the source leaves that meet
// the target leaf directly. The (target, element) values are kept for every
// element of a leaf, or only for the elements integrated exactly somewhere in
// it (the point terms of the others are then summed at each application), or
// not at all (all of it computed at each application), leaf by leaf as memory
// allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
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
    const Points& targets;                         // in tree order
    const Points& points;                          // source points in tree order
    const std::vector<double>& point_weights;      // in tree order
    const std::vector<std::uint32_t>& point_element;  // in tree order
    const std::vector<std::uint32_t>& point_slot;  // element point e * q + j -> its tree position
    Kind kind;
    double near_factor;
};

// What a block keeps; Mixed only describes a near field whose blocks differ.
enum class NearStorage { All, Exact, None, Mixed };

class NearField {
public:
    // The element lists of every target leaf.
    NearField(const NearInputs& in, std::size_t n_threads, const Poll& poll);

    std::size_t n_blocks() const { return block_leaf_.size(); }
    std::uint32_t leaf(std::size_t block) const { return block_leaf_[block]; }
    // (target, element) pairs of all blocks, and of them those integrated exactly.
    std::uint64_t n_interactions() const { return n_interactions_; }
    std::uint64_t n_exact() const { return n_exact_; }
    // Bytes the values take when every block keeps them so.
    std::uint64_t bytes(NearStorage storage, bool single_precision) const;

    // Computes and keeps the values within `budget` bytes: all of them if
    // they fit, else those of the exact elements in every block and all of
    // them in as many blocks as the rest of the budget holds, else (the
    // exact ones not fitting either) the exact ones in as many blocks as fit.
    void store(const NearInputs& in, std::uint64_t budget, bool single_precision, std::size_t n_threads,
               const Poll& poll);
    NearStorage storage() const { return storage_; }
    std::uint64_t bytes_kept() const;   // the kept values
    std::uint64_t trace_bytes() const;  // the traces beside them

    // Per thread, reused from block to block.
    struct Scratch {
        std::vector<double> values, terms, sign, kernel, x, y, z, w, vx, vy, vz;
        std::vector<std::uint8_t> direct;  // per box: a source leaf of the block's leaf
        std::vector<std::uint32_t> mark;   // per element: the block that last marked it
    };

    // Adds block b's field at its targets (tree order) to out[3 * t ...];
    // point_vectors holds the vector of each source point's element (three
    // lists in tree order), vectors those of the elements (triples).
    void add_block(const NearInputs& in, std::size_t b, const double* vectors, const double* const point_vectors[3],
                   double* out, Scratch& scratch) const;

private:
    // Kept H of a magnetisation leaves out zz: outside an element its field
    // matrix is traceless (its field is curl- and divergence-free there), so
    // zz = trace - xx - yy with a trace of 0 but for the targets inside an
    // element or on its boundary, whose traces (-1 inside) are listed per
    // block (target, column, trace).
    struct Trace {
        std::uint32_t target, column;
        double value;
    };
    using BlockTrace = std::pair<std::uint32_t, Trace>;  // a block's trace
    struct Columns {
        const std::uint32_t* elements;
        std::size_t size;
    };
    Columns all_columns(std::size_t b) const;
    Columns exact_columns(std::size_t b) const;
    Columns kept_columns(std::size_t b) const;
    // Values of the columns of block b (row t holds entry v of column j at
    // (t * width + v) * columns + j): the point terms, and the exact terms
    // too when `with_exact` (store() adds them element by element instead).
    // width is entry_size_, or stored_size_ for values to keep.
    void compute_block(const NearInputs& in, std::size_t b, Columns columns, double* values, Scratch& scratch,
                       bool with_exact, std::size_t width) const;
    // Adds the exact terms of elements [first, last) to the kept values;
    // appends the traces that are not zero.
    template <class T>
    void add_exact_terms(const NearInputs& in, std::size_t first, std::size_t last, T* values,
                         std::vector<BlockTrace>& traces) const;

    std::vector<std::uint32_t> block_leaf_;
    std::vector<std::size_t> block_targets_;
    std::vector<std::uint64_t> all_begin_, exact_begin_;  // per block, into all_ and exact_
    std::vector<std::uint32_t> all_, exact_;              // element lists, each sorted
    std::vector<std::uint64_t> reach_begin_;  // per element: the blocks its exact reach touches
    std::vector<std::uint32_t> reach_blocks_;
    std::vector<std::uint64_t> entry_begin_;  // per block: first kept (target, column) pair
    std::vector<std::uint64_t> trace_begin_;
    std::vector<Trace> traces_;
    // Written block by block by the threads that compute them, so the pages
    // are first touched in parallel: no zeroing pass.
    std::unique_ptr<float[]> single_;
    std::unique_ptr<double[]> double_;
    std::vector<NearStorage> block_storage_;  // All, Exact or None per block
    NearStorage storage_ = NearStorage::None;
    bool single_precision_ = false;
    std::uint64_t n_interactions_ = 0, n_exact_ = 0;
    std::size_t entry_size_ = 0;   // entries of a (target, element) value
    std::size_t stored_size_ = 0;  // of them kept
};

}  // namespace corvane::fmm
