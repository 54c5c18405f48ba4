// Octree construction by Morton-key ranges.
#include "fmm/tree.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "lib/failure.hpp"
#include "octree/bbox.hpp"

namespace corvane::fmm {
namespace {

// Keys of the points in the cube, sorted with their input index (ties keep
// input order).
std::vector<std::pair<std::uint64_t, std::uint32_t>> sorted_keys(const Points& p, const Vec3& corner,
                                                                  double edge) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        keys[i] = {morton_code(p[i], edge, corner), static_cast<std::uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

// First position in [begin, end) whose key is >= key.
std::uint32_t lower(const std::vector<std::pair<std::uint64_t, std::uint32_t>>& keys, std::uint32_t begin,
                    std::uint32_t end, std::uint64_t key) {
    const auto it = std::lower_bound(keys.begin() + begin, keys.begin() + end,
                                     std::pair<std::uint64_t, std::uint32_t>{key, 0});
    return static_cast<std::uint32_t>(it - keys.begin());
}

}  // namespace

double Tree::width(std::uint32_t level) const { return std::ldexp(edge, -static_cast<int>(level)); }

Vec3 Tree::centre(const Box& b) const {
    const double w = width(b.level);
    return {corner.x + (b.index[0] + 0.5) * w, corner.y + (b.index[1] + 0.5) * w, corner.z + (b.index[2] + 0.5) * w};
}

Tree build_tree(const Points& sources, const Points& targets, const TreeSettings& settings) {
    if (sources.size() + targets.size() == 0) fail("the tree needs at least one point");
    if (sources.size() >= (1ULL << 32) || targets.size() >= (1ULL << 32)) fail("too many points for the tree");
    Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (const Points* set : {&sources, &targets}) {
        for (std::size_t i = 0; i < set->size(); ++i) {
            const Vec3 p = (*set)[i];
            lo = {std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z)};
            hi = {std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z)};
        }
    }
    // A margin of 1/1024 of the extent on every side keeps every point off
    // the cube's faces; a single point gets a cube of edge 1.
    double extent = std::fmax(std::fmax(hi.x - lo.x, hi.y - lo.y), hi.z - lo.z);
    if (!(extent > 0.0)) extent = 1.0;
    const double margin = extent / 1024.0;
    Tree tree;
    tree.corner = {lo.x - margin, lo.y - margin, lo.z - margin};
    tree.edge = extent + 2.0 * margin;

    const auto src_keys = sorted_keys(sources, tree.corner, tree.edge);
    const auto trg_keys = sorted_keys(targets, tree.corner, tree.edge);
    tree.source_order.resize(sources.size());
    tree.target_order.resize(targets.size());
    for (std::size_t i = 0; i < sources.size(); ++i) tree.source_order[i] = src_keys[i].second;
    for (std::size_t i = 0; i < targets.size(); ++i) tree.target_order[i] = trg_keys[i].second;

    Box root;
    root.src_end = static_cast<std::uint32_t>(sources.size());
    root.trg_end = static_cast<std::uint32_t>(targets.size());
    tree.boxes.push_back(root);
    tree.level_begin.push_back(0);
    // Breadth first: the boxes of one level are made from those of the last.
    for (std::uint32_t level = 0;; ++level) {
        const std::size_t begin = tree.level_begin.back(), end = tree.boxes.size();
        if (begin == end) break;
        tree.level_begin.push_back(end);
        if (level == MAX_LEVEL) break;
        const unsigned shift = 3 * (MAX_LEVEL - 1 - level);  // octant bits of the children
        for (std::size_t b = begin; b < end; ++b) {
            Box& box = tree.boxes[b];
            if (box.n_sources() <= settings.max_sources && box.n_targets() <= settings.max_targets) continue;
            box.leaf = false;
            const Box parent = box;  // the vector grows below
            const std::uint64_t base =
                (parent.src_begin < parent.src_end ? src_keys[parent.src_begin].first
                                                   : trg_keys[parent.trg_begin].first) >>
                (shift + 3) << (shift + 3);
            std::uint32_t s = parent.src_begin, t = parent.trg_begin;
            for (std::uint32_t octant = 0; octant < 8; ++octant) {
                const std::uint64_t next = base + (static_cast<std::uint64_t>(octant + 1) << shift);
                const std::uint32_t s_end = octant == 7 ? parent.src_end : lower(src_keys, s, parent.src_end, next);
                const std::uint32_t t_end = octant == 7 ? parent.trg_end : lower(trg_keys, t, parent.trg_end, next);
                if (s_end > s || t_end > t) {
                    Box child;
                    child.parent = static_cast<std::int32_t>(b);
                    child.level = level + 1;
                    child.index = {2 * parent.index[0] + (octant & 1), 2 * parent.index[1] + ((octant >> 1) & 1),
                                   2 * parent.index[2] + ((octant >> 2) & 1)};
                    child.src_begin = s, child.src_end = s_end;
                    child.trg_begin = t, child.trg_end = t_end;
                    tree.boxes[b].children[octant] = static_cast<std::int32_t>(tree.boxes.size());
                    tree.boxes.push_back(child);
                }
                s = s_end, t = t_end;
            }
        }
    }
    tree.source_leaf.assign(sources.size(), NONE);
    tree.target_leaf.assign(targets.size(), NONE);
    for (std::size_t b = 0; b < tree.boxes.size(); ++b) {
        const Box& box = tree.boxes[b];
        if (!box.leaf) continue;
        for (std::uint32_t i = box.src_begin; i < box.src_end; ++i) tree.source_leaf[i] = static_cast<std::int32_t>(b);
        for (std::uint32_t i = box.trg_begin; i < box.trg_end; ++i) tree.target_leaf[i] = static_cast<std::int32_t>(b);
    }
    return tree;
}

}  // namespace corvane::fmm
