// Dual traversal from the pair (root, root): a pair that is separated is
// translated; otherwise the larger box (both when equal) is split, until two
// leaves meet directly. The pairs below a few levels are traversed in
// parallel items; the lists are then ordered so that nothing depends on which
// thread found what.
#include "fmm/interactions.hpp"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

#include "lib/failure.hpp"

namespace corvane::fmm {
namespace {

// Positions and widths in units of half the finest cell (width 2^(21 - l)
// finest cells at level l): the doubled centre is (2i + 1) w.
struct Doubled {
    std::int64_t centre[3];
    std::int64_t width;
};

Doubled doubled(const Box& b) {
    const std::int64_t w = std::int64_t{1} << (MAX_LEVEL - b.level);
    return {{(2 * std::int64_t{b.index[0]} + 1) * w, (2 * std::int64_t{b.index[1]} + 1) * w,
             (2 * std::int64_t{b.index[2]} + 1) * w},
            w};
}

// Along some axis, the gap between a and b is at least the width of `by`.
bool separated(const Box& a, const Box& b, const Box& by) {
    const Doubled da = doubled(a), db = doubled(b);
    const std::int64_t width = doubled(by).width;
    for (int k = 0; k < 3; ++k) {
        // Doubled gap: |2 cA - 2 cB| - (wA + wB), against twice the width.
        if (std::llabs(da.centre[k] - db.centre[k]) - (da.width + db.width) >= 2 * width) return true;
    }
    return false;
}

constexpr int OFFSET_BITS = 18;

std::uint64_t packed_key(const TranslationKey& k) {
    const auto part = [](int v, int bits) {
        return static_cast<std::uint64_t>(v + (1 << (bits - 1))) & ((1ULL << bits) - 1);
    };
    return part(k.size_exponent, 8) | part(k.offset[0], OFFSET_BITS) << 8 | part(k.offset[1], OFFSET_BITS) << 26 |
           part(k.offset[2], OFFSET_BITS) << 44;
}

TranslationKey unpacked_key(std::uint64_t p) {
    const auto part = [&](int shift, int bits) {
        return static_cast<int>((p >> shift) & ((1ULL << bits) - 1)) - (1 << (bits - 1));
    };
    return {part(0, 8), {part(8, OFFSET_BITS), part(26, OFFSET_BITS), part(44, OFFSET_BITS)}};
}

// Pairs at or below this level are traversed as separate items.
constexpr std::uint32_t TASK_LEVEL = 2;

// What one part of the traversal found; far pairs carry an index into `keys`
// (distinct packed keys in order of first use).
struct Found {
    std::vector<FarPair> far;
    std::vector<std::uint64_t> keys;
    std::unordered_map<std::uint64_t, std::uint32_t> key_index;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> near;  // (target leaf, source leaf)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> direct;  // (target leaf, smaller source box)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks;  // (source, target) left for items
};

class Traversal {
public:
    Traversal(const Tree& tree, Found& out, bool collect_tasks) : tree_(tree), out_(out), collect_(collect_tasks) {}

    void visit(std::uint32_t a, std::uint32_t b) {
        const Box& source = tree_.boxes[a];
        const Box& target = tree_.boxes[b];
        if (source.n_sources() == 0 || target.n_targets() == 0) return;
        if (well_separated(source, target)) {
            out_.far.push_back({a, b, translation(source, target)});
            return;
        }
        if (target.leaf && source.level > target.level && separated(source, target, source)) {
            out_.direct.push_back({b, a});
            return;
        }
        if (source.leaf && target.leaf) {
            out_.near.push_back({b, a});
            return;
        }
        if (collect_ && std::min(source.level, target.level) >= TASK_LEVEL) {
            out_.tasks.push_back({a, b});
            return;
        }
        const bool split_source = !source.leaf && (target.leaf || source.level <= target.level);
        const bool split_target = !target.leaf && (source.leaf || target.level <= source.level);
        if (split_source && split_target) {
            for (const std::int32_t ca : source.children)
                if (ca != NONE)
                    for (const std::int32_t cb : target.children)
                        if (cb != NONE) visit(static_cast<std::uint32_t>(ca), static_cast<std::uint32_t>(cb));
        } else if (split_source) {
            for (const std::int32_t ca : source.children)
                if (ca != NONE) visit(static_cast<std::uint32_t>(ca), b);
        } else {
            for (const std::int32_t cb : target.children)
                if (cb != NONE) visit(a, static_cast<std::uint32_t>(cb));
        }
    }

private:
    std::uint32_t translation(const Box& source, const Box& target) {
        const Doubled s = doubled(source), t = doubled(target);
        const std::int64_t unit = std::min(s.width, t.width);
        TranslationKey key{static_cast<int>(target.level) - static_cast<int>(source.level), {0, 0, 0}};
        for (int k = 0; k < 3; ++k) {
            const std::int64_t units = (s.centre[k] - t.centre[k]) / unit;
            if (std::llabs(units) >= (1 << (OFFSET_BITS - 1))) fail("translation offset out of range");
            key.offset[k] = static_cast<int>(units);
        }
        const std::uint64_t packed = packed_key(key);
        const auto [it, inserted] = out_.key_index.try_emplace(packed, static_cast<std::uint32_t>(out_.keys.size()));
        if (inserted) out_.keys.push_back(packed);
        return it->second;
    }

    const Tree& tree_;
    Found& out_;
    bool collect_;
};

}  // namespace

bool well_separated(const Box& a, const Box& b) { return separated(a, b, a.level <= b.level ? a : b); }

Interactions build_interactions(const Tree& tree, std::size_t n_threads, const Poll& poll) {
    // The top of the traversal here, the pairs below it in items.
    std::vector<Found> found(1);
    Traversal(tree, found[0], true).visit(0, 0);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks = std::move(found[0].tasks);
    found.resize(tasks.size() + 1);
    run_items(tasks.size(), n_threads, [&](std::size_t i, std::size_t) {
        Traversal(tree, found[i + 1], false).visit(tasks[i].first, tasks[i].second);
    }, poll);

    const auto check = [&] {
        if (poll && !poll()) throw Cancelled();
    };
    // Translations numbered in the order of their packed keys.
    Interactions out;
    std::vector<std::uint64_t> all_keys;
    for (const Found& f : found) all_keys.insert(all_keys.end(), f.keys.begin(), f.keys.end());
    std::sort(all_keys.begin(), all_keys.end());
    all_keys.erase(std::unique(all_keys.begin(), all_keys.end()), all_keys.end());
    for (const std::uint64_t k : all_keys) out.translations.push_back(unpacked_key(k));
    run_items(found.size(), n_threads, [&](std::size_t i, std::size_t) {
        std::vector<std::uint32_t> global(found[i].keys.size());
        for (std::size_t k = 0; k < global.size(); ++k) {
            global[k] = static_cast<std::uint32_t>(
                std::lower_bound(all_keys.begin(), all_keys.end(), found[i].keys[k]) - all_keys.begin());
        }
        for (FarPair& p : found[i].far) p.translation = global[p.translation];
    }, poll);

    check();
    // Far pairs by target box, then translation and source; near source
    // leaves by target leaf, in increasing order.
    const std::size_t n_boxes = tree.boxes.size();
    std::vector<std::uint64_t> far_begin(n_boxes + 1, 0);
    out.near_begin.assign(n_boxes + 1, 0);
    out.direct_begin.assign(n_boxes + 1, 0);
    for (const Found& f : found) {
        for (const FarPair& p : f.far) ++far_begin[p.target_box + 1];
        for (const auto& [target, source] : f.near) ++out.near_begin[target + 1];
        for (const auto& [target, source] : f.direct) ++out.direct_begin[target + 1];
    }
    for (std::size_t b = 0; b < n_boxes; ++b) {
        far_begin[b + 1] += far_begin[b];
        out.near_begin[b + 1] += out.near_begin[b];
        out.direct_begin[b + 1] += out.direct_begin[b];
    }
    check();
    out.far.resize(far_begin.back());
    out.near_sources.resize(out.near_begin.back());
    out.direct_sources.resize(out.direct_begin.back());
    {
        std::vector<std::uint64_t> far_next(far_begin.begin(), far_begin.end() - 1);
        std::vector<std::uint32_t> near_next(out.near_begin.begin(), out.near_begin.end() - 1);
        std::vector<std::uint32_t> direct_next(out.direct_begin.begin(), out.direct_begin.end() - 1);
        for (std::size_t i = 0; i < found.size(); ++i) {
            for (const FarPair& p : found[i].far) out.far[far_next[p.target_box]++] = p;
            for (const auto& [target, source] : found[i].near) out.near_sources[near_next[target]++] = source;
            for (const auto& [target, source] : found[i].direct) out.direct_sources[direct_next[target]++] = source;
            found[i] = Found();
            if (i % 256 == 255) check();
        }
    }
    constexpr std::size_t BOXES_PER_ITEM = 1024;
    run_items((n_boxes + BOXES_PER_ITEM - 1) / BOXES_PER_ITEM, n_threads, [&](std::size_t item, std::size_t) {
        for (std::size_t b = item * BOXES_PER_ITEM; b < std::min(n_boxes, (item + 1) * BOXES_PER_ITEM); ++b) {
            std::sort(out.far.begin() + static_cast<std::ptrdiff_t>(far_begin[b]),
                      out.far.begin() + static_cast<std::ptrdiff_t>(far_begin[b + 1]),
                      [](const FarPair& x, const FarPair& y) {
                          return x.translation != y.translation ? x.translation < y.translation
                                                                : x.source_box < y.source_box;
                      });
            std::sort(out.near_sources.begin() + out.near_begin[b], out.near_sources.begin() + out.near_begin[b + 1]);
            std::sort(out.direct_sources.begin() + out.direct_begin[b],
                      out.direct_sources.begin() + out.direct_begin[b + 1]);
        }
    }, poll);
    return out;
}

}  // namespace corvane::fmm
