// Octree construction by Morton-key ranges.
#include "fmm/tree.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "lib/failure.hpp"
#include "lib/parallel_sort.hpp"
#include "octree/bbox.hpp"

namespace corvane::fmm {
namespace {

constexpr std::size_t POINTS_PER_ITEM = 1 << 16;

// Keys of the points in the cube, sorted with their input index (ties keep
// input order).
std::vector<KeyIndex> sorted_keys(const Points& p, const Vec3& corner, double edge, std::size_t n_threads,
                                  const Poll& poll) {
    std::vector<KeyIndex> keys(p.size());
    run_items((p.size() + POINTS_PER_ITEM - 1) / POINTS_PER_ITEM, n_threads, [&](std::size_t item, std::size_t) {
        for (std::size_t i = item * POINTS_PER_ITEM; i < std::min(p.size(), (item + 1) * POINTS_PER_ITEM); ++i)
            keys[i] = {morton_code(p[i], edge, corner), static_cast<std::uint32_t>(i)};
    }, poll);
    parallel_sort(keys, n_threads, poll);
    return keys;
}

// First position in [begin, end) whose key is >= key.
std::uint32_t lower(const std::vector<KeyIndex>& keys, std::uint32_t begin, std::uint32_t end, std::uint64_t key) {
    const auto it = std::lower_bound(keys.begin() + begin, keys.begin() + end, KeyIndex{key, 0});
    return static_cast<std::uint32_t>(it - keys.begin());
}

}  // namespace

double fuller_scale(const Tree& tree, double fill) {
    double weighted = 0.0, total = 0.0;
    for (const Box& b : tree.boxes) {
        if (!b.leaf) continue;
        weighted += static_cast<double>(b.n_targets()) * b.n_targets();
        total += b.n_targets();
    }
    if (total == 0.0) return 1.0;
    // Occupancy grows with the cube of the scale; a factor 2 is one level.
    double scale = std::cbrt(fill * total / weighted);
    while (scale >= 2.0) scale *= 0.5;
    while (scale < 1.0) scale *= 2.0;
    return scale;
}

double Tree::width(std::uint32_t level) const { return std::ldexp(edge, -static_cast<int>(level)); }

Vec3 Tree::centre(const Box& b) const {
    const double w = width(b.level);
    return {corner.x + (b.index[0] + 0.5) * w, corner.y + (b.index[1] + 0.5) * w, corner.z + (b.index[2] + 0.5) * w};
}

Tree build_tree(const Points& sources, const Points& targets, const TreeSettings& settings, std::size_t n_threads,
                const Poll& poll) {
    if (sources.size() + targets.size() == 0) fail("the tree needs at least one point");
    if (sources.size() >= (1ULL << 32) || targets.size() >= (1ULL << 32)) fail("too many points for the tree");
    // Extremes per item, then over the items: the same in any order.
    const std::size_t n_all = sources.size() + targets.size();
    const std::size_t n_items = (n_all + POINTS_PER_ITEM - 1) / POINTS_PER_ITEM;
    std::vector<Vec3> item_lo(n_items), item_hi(n_items);
    run_items(n_items, n_threads, [&](std::size_t item, std::size_t) {
        Vec3 l{INFINITY, INFINITY, INFINITY}, h{-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t i = item * POINTS_PER_ITEM; i < std::min(n_all, (item + 1) * POINTS_PER_ITEM); ++i) {
            const Vec3 p = i < sources.size() ? sources[i] : targets[i - sources.size()];
            l = {std::fmin(l.x, p.x), std::fmin(l.y, p.y), std::fmin(l.z, p.z)};
            h = {std::fmax(h.x, p.x), std::fmax(h.y, p.y), std::fmax(h.z, p.z)};
        }
        item_lo[item] = l, item_hi[item] = h;
    }, poll);
    Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t i = 0; i < n_items; ++i) {
        lo = {std::fmin(lo.x, item_lo[i].x), std::fmin(lo.y, item_lo[i].y), std::fmin(lo.z, item_lo[i].z)};
        hi = {std::fmax(hi.x, item_hi[i].x), std::fmax(hi.y, item_hi[i].y), std::fmax(hi.z, item_hi[i].z)};
    }
    // A margin of 1/1024 of the extent on every side keeps every point off
    // the cube's faces; a single point gets a cube of edge 1.
    double extent = std::fmax(std::fmax(hi.x - lo.x, hi.y - lo.y), hi.z - lo.z);
    if (!(extent > 0.0)) extent = 1.0;
    const double margin = extent / 1024.0;
    Tree tree;
    tree.corner = {lo.x - margin, lo.y - margin, lo.z - margin};
    tree.edge = (extent + 2.0 * margin) * settings.scale;

    const auto src_keys = sorted_keys(sources, tree.corner, tree.edge, n_threads, poll);
    const auto trg_keys = sorted_keys(targets, tree.corner, tree.edge, n_threads, poll);
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
        if (poll && !poll()) throw Cancelled();
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
    constexpr std::size_t BOXES_PER_ITEM = 4096;
    run_items((tree.boxes.size() + BOXES_PER_ITEM - 1) / BOXES_PER_ITEM, n_threads, [&](std::size_t item, std::size_t) {
        for (std::size_t b = item * BOXES_PER_ITEM; b < std::min(tree.boxes.size(), (item + 1) * BOXES_PER_ITEM); ++b) {
            const Box& box = tree.boxes[b];
            if (!box.leaf) continue;
            for (std::uint32_t i = box.src_begin; i < box.src_end; ++i) tree.source_leaf[i] = static_cast<std::int32_t>(b);
            for (std::uint32_t i = box.trg_begin; i < box.trg_end; ++i) tree.target_leaf[i] = static_cast<std::int32_t>(b);
        }
    }, poll);
    return tree;
}

}  // namespace corvane::fmm
