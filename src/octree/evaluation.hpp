// Evaluation of an octree at one chunk of targets: batches in key order,
// interaction lists, near field through the element kernels and far field
// through the multipole kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/records.hpp"
#include "octree/mod.hpp"

namespace corvane {

// One interaction of some targets of a batch: list `id` for the targets
// whose bits are set in `mask` (bit j: target 32 * group + j of the batch in
// key order). List ids: the near lists of the leaves, numbered in the tree
// order of their elements, then the far list of node i at id (number of
// leaves + i).
struct GroupRecord {
    std::uint32_t id;
    std::uint32_t group;
    std::uint64_t mask;
};

// The interactions of one piece of a batch, grouped by list id: evaluating
// the lists in id order gives every target its near terms in element tree
// order and then its far terms in node index order. Leaf lists stand for the
// lists of the leaf's elements, which are the same.
struct InteractionLists {
    std::vector<std::uint32_t> counts;   // per list id: records; zero outside `used`
    std::vector<std::uint32_t> sizes;    // per list id: targets; zero outside `used`
    std::vector<std::uint32_t> used;     // ids with a non-zero count, ascending once sorted
    std::vector<std::size_t> ends;       // per used id: fill cursor, then end offset in `records`
    std::vector<GroupRecord> records;    // the lists one after another, each in group order
};

// Targets in the lists of one piece of a batch, at most (a piece holds at
// least one group of targets): its records (16 bytes, at most one per
// target, held twice) then take at most 128 MiB per worker, and a batch over
// that is evaluated in consecutive pieces.
inline constexpr std::size_t PIECE_RECORDS = std::size_t{1} << 22;

// The worker body of run_octree: adds the field at the chunk's targets. Fails
// when the tree holds no moments for the kind and with "chunk size must be
// non-zero" when the batch size is 0. `max_piece_records` changes memory use
// only, never a result.
void evaluate_chunk(const Octree& tree, const ChunkPair& chunk, bool h_field, bool magnetization,
                    std::size_t max_piece_records = PIECE_RECORDS);

}  // namespace corvane
