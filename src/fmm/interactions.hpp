// Interaction lists of a tree by a dual traversal: every (source box, target
// box) pair that is well separated exchanges a multipole-to-local
// translation; pairs of leaves that are not separated interact directly.
// Each source point reaches each target exactly once, through one of the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fmm/tree.hpp"
#include "lib/work_queue.hpp"

namespace corvane::fmm {

// The translation between a source box A and a target box B depends only on
// their relative size and offset, so pairs share it.
struct TranslationKey {
    int size_exponent;  // log2(w_A / w_B)
    int offset[3];      // (c_A - c_B) in units of half the smaller width
    bool operator==(const TranslationKey&) const = default;
};

struct FarPair {
    std::uint32_t source_box, target_box;
    std::uint32_t translation;  // index into Interactions::translations
};

struct Interactions {
    std::vector<TranslationKey> translations;  // distinct keys, in increasing order
    std::vector<FarPair> far;                  // sorted by target box, then translation
    // Per target leaf, the source leaves it meets directly, as ranges of near_sources.
    std::vector<std::uint32_t> near_begin;  // n_boxes + 1 offsets
    std::vector<std::uint32_t> near_sources;
    // Per target leaf, the smaller source boxes whose multipoles are
    // evaluated at its targets directly: separated by their own width, not by
    // the leaf's (a large leaf with few targets beside fine sources).
    std::vector<std::uint32_t> direct_begin;
    std::vector<std::uint32_t> direct_sources;
};

// Boxes are well separated when, along some axis, the gap between them is at
// least the larger width: for boxes of one level, when they do not touch.
bool well_separated(const Box& a, const Box& b);

// The work runs in short items on n_threads threads (see run_items); the
// lists do not depend on the thread count.
Interactions build_interactions(const Tree& tree, std::size_t n_threads, const Poll& poll);

}  // namespace corvane::fmm
