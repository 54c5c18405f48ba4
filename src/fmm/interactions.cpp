// Dual traversal from the pair (root, root): a pair that is separated is
// translated; otherwise the larger box (both when equal) is split, until two
// leaves meet directly.
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

std::uint64_t packed_key(const TranslationKey& k) {
    const auto part = [](int v, int bits) { return static_cast<std::uint64_t>(v + (1 << (bits - 1))) & ((1ULL << bits) - 1); };
    return part(k.size_exponent, 8) | part(k.offset[0], 18) << 8 | part(k.offset[1], 18) << 26 |
           part(k.offset[2], 18) << 44;
}

class Traversal {
public:
    Traversal(const Tree& tree, Interactions& out) : tree_(tree), out_(out), near_lists_(tree.boxes.size()) {}

    void run() {
        visit(0, 0);
        // Far pairs by target box, then translation, for a fixed order of sums.
        std::sort(out_.far.begin(), out_.far.end(), [](const FarPair& a, const FarPair& b) {
            return a.target_box != b.target_box ? a.target_box < b.target_box
                   : a.translation != b.translation ? a.translation < b.translation
                                                    : a.source_box < b.source_box;
        });
        out_.near_begin.assign(tree_.boxes.size() + 1, 0);
        for (std::size_t b = 0; b < near_lists_.size(); ++b) {
            std::sort(near_lists_[b].begin(), near_lists_[b].end());
            out_.near_begin[b + 1] = out_.near_begin[b] + static_cast<std::uint32_t>(near_lists_[b].size());
        }
        out_.near_sources.reserve(out_.near_begin.back());
        for (const auto& list : near_lists_) out_.near_sources.insert(out_.near_sources.end(), list.begin(), list.end());
    }

private:
    void visit(std::uint32_t a, std::uint32_t b) {
        const Box& source = tree_.boxes[a];
        const Box& target = tree_.boxes[b];
        if (source.n_sources() == 0 || target.n_targets() == 0) return;
        if (well_separated(source, target)) {
            out_.far.push_back({a, b, translation(source, target)});
            return;
        }
        if (source.leaf && target.leaf) {
            near_lists_[b].push_back(a);
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

    std::uint32_t translation(const Box& source, const Box& target) {
        const Doubled s = doubled(source), t = doubled(target);
        const std::int64_t unit = std::min(s.width, t.width);
        TranslationKey key{static_cast<int>(target.level) - static_cast<int>(source.level), {0, 0, 0}};
        for (int k = 0; k < 3; ++k) {
            const std::int64_t units = (s.centre[k] - t.centre[k]) / unit;
            if (std::llabs(units) >= (1 << 17)) fail("translation offset out of range");
            key.offset[k] = static_cast<int>(units);
        }
        const auto [it, inserted] = index_.try_emplace(packed_key(key), static_cast<std::uint32_t>(out_.translations.size()));
        if (inserted) out_.translations.push_back(key);
        return it->second;
    }

    const Tree& tree_;
    Interactions& out_;
    std::vector<std::vector<std::uint32_t>> near_lists_;
    std::unordered_map<std::uint64_t, std::uint32_t> index_;
};

}  // namespace

bool well_separated(const Box& a, const Box& b) {
    const Doubled da = doubled(a), db = doubled(b);
    const std::int64_t larger = std::max(da.width, db.width);
    for (int k = 0; k < 3; ++k) {
        // Doubled gap: |2 cA - 2 cB| - (wA + wB), against twice the larger width.
        if (std::llabs(da.centre[k] - db.centre[k]) - (da.width + db.width) >= 2 * larger) return true;
    }
    return false;
}

Interactions build_interactions(const Tree& tree) {
    Interactions out;
    Traversal(tree, out).run();
    return out;
}

}  // namespace corvane::fmm
