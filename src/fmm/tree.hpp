// Adaptive octree over source points and target points: boxes in breadth-first
// order, both point sets sorted by Morton key so that every box holds one
// contiguous range of each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/work_queue.hpp"
#include "math/vec3.hpp"

namespace corvane::fmm {

inline constexpr std::uint32_t MAX_LEVEL = 21;  // keys carry 21 bits per axis
inline constexpr std::int32_t NONE = -1;

struct Box {
    std::int32_t parent = NONE;
    std::array<std::int32_t, 8> children{NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE};
    std::uint32_t level = 0;
    std::array<std::uint32_t, 3> index{0, 0, 0};  // integer position among the boxes of its level
    std::uint32_t src_begin = 0, src_end = 0;     // range of sorted source points
    std::uint32_t trg_begin = 0, trg_end = 0;     // range of sorted targets
    bool leaf = true;

    std::uint32_t n_sources() const { return src_end - src_begin; }
    std::uint32_t n_targets() const { return trg_end - trg_begin; }
};

// Points as three coordinate lists.
struct Points {
    std::vector<double> x, y, z;
    std::size_t size() const { return x.size(); }
    Vec3 operator[](std::size_t i) const { return {x[i], y[i], z[i]}; }
};

struct TreeSettings {
    std::size_t max_sources = 64;  // a box with more source points is split
    std::size_t max_targets = 64;  // a box with more targets is split
    double scale = 1.0;            // the root cube's edge over the points' extent (with a margin)
};


struct Tree {
    Vec3 corner;        // minimum corner of the root cube
    double edge = 0.0;  // edge of the root cube
    std::vector<Box> boxes;               // breadth first; box 0 is the root
    std::vector<std::size_t> level_begin;  // boxes of level l: [level_begin[l], level_begin[l + 1])
    std::vector<std::uint32_t> source_order;  // sorted position -> input index
    std::vector<std::uint32_t> target_order;
    std::vector<std::int32_t> source_leaf;  // sorted position -> leaf box
    std::vector<std::int32_t> target_leaf;

    std::size_t n_levels() const { return level_begin.size() - 1; }
    double width(std::uint32_t level) const;
    Vec3 centre(const Box& b) const;
};

// The scale at which the leaves of `tree` would hold about `fill` targets
// each (weighted by targets), between 1 and 2: leaves of an octree hold
// from an eighth of the limit up, and fuller ones mean fewer boxes.
double fuller_scale(const Tree& tree, double fill);

// Builds the tree: the root cube holds every point of both sets; a box is
// split while it holds more sources or more targets than allowed, down to
// MAX_LEVEL. Points must be finite; either set may be empty but not both.
// The work runs in short items on n_threads threads (see run_items).
Tree build_tree(const Points& sources, const Points& targets, const TreeSettings& settings, std::size_t n_threads,
                const Poll& poll);

}  // namespace corvane::fmm
