// Near-field blocks: element lists, values and their application.
#include "fmm/near_field.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>

#include "biotsavart/direct.hpp"
#include "fmm/near_products.hpp"
#include "fmm/point_terms.hpp"
#include "lib/failure.hpp"

namespace corvane::fmm {
namespace {

// Squared distance from p to the box (zero inside it).
double box_distance2(const Tree& tree, const Box& box, const Vec3& p) {
    const double w = tree.width(box.level);
    const double lo[3] = {tree.corner.x + box.index[0] * w, tree.corner.y + box.index[1] * w,
                          tree.corner.z + box.index[2] * w};
    const double q[3] = {p.x, p.y, p.z};
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double d = q[k] < lo[k] ? lo[k] - q[k] : q[k] > lo[k] + w ? q[k] - (lo[k] + w) : 0.0;
        d2 += d * d;
    }
    return d2;
}

// Target leaves that come within `reach` of p, in the tree's depth-first order.
void leaves_within(const Tree& tree, const Vec3& p, double reach2, std::vector<std::uint32_t>& out) {
    std::array<std::uint32_t, 8 * (MAX_LEVEL + 1)> stack;
    std::size_t top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const std::uint32_t b = stack[--top];
        const Box& box = tree.boxes[b];
        if (box.n_targets() == 0 || box_distance2(tree, box, p) > reach2) continue;
        if (box.leaf) {
            out.push_back(b);
            continue;
        }
        for (int c = 7; c >= 0; --c)
            if (box.children[c] != NONE) stack[top++] = static_cast<std::uint32_t>(box.children[c]);
    }
}

double distance2(const Vec3& a, const Vec3& b) {
    const Vec3 d = a - b;
    return (d.x * d.x + d.y * d.y) + d.z * d.z;
}

Vec3 centroid(const Elements& e, std::size_t k) { return e.centroids[k]; }

}  // namespace

NearField::NearField(const NearInputs& in, std::size_t n_threads, const Poll& poll) {
    const Tree& tree = in.tree;
    const Elements& el = in.elements;
    const std::size_t q = el.points_per_element;
    entry_size_ = in.kind.entry_size();
    stored_size_ = in.kind.dipole() ? 5 : entry_size_;
    std::vector<std::int64_t> leaf_block(tree.boxes.size(), -1);
    for (std::size_t b = 0; b < tree.boxes.size(); ++b) {
        const Box& box = tree.boxes[b];
        if (box.leaf && box.n_targets() > 0) {
            leaf_block[b] = static_cast<std::int64_t>(block_leaf_.size());
            block_leaf_.push_back(static_cast<std::uint32_t>(b));
            block_targets_.push_back(box.n_targets());
        }
    }
    // The blocks each element's exact reach touches, element by element.
    constexpr std::size_t ELEMENTS_PER_ITEM = 2048;
    const std::size_t n_items = (el.size() + ELEMENTS_PER_ITEM - 1) / ELEMENTS_PER_ITEM;
    std::vector<std::vector<std::uint32_t>> reach(n_items), reach_count(n_items);
    run_items(n_items, n_threads, [&](std::size_t item, std::size_t) {
        std::vector<std::uint32_t> found;
        for (std::size_t k = item * ELEMENTS_PER_ITEM; k < std::min(el.size(), (item + 1) * ELEMENTS_PER_ITEM); ++k) {
            const double r = in.near_factor * el.radii[k];
            found.clear();
            leaves_within(tree, centroid(el, k), r * r, found);
            reach_count[item].push_back(static_cast<std::uint32_t>(found.size()));
            for (const std::uint32_t leaf : found) reach[item].push_back(static_cast<std::uint32_t>(leaf_block[leaf]));
        }
    }, poll);
    const auto check = [&] {
        if (poll && !poll()) throw Cancelled();
    };
    check();
    reach_begin_.assign(el.size() + 1, 0);
    for (std::size_t item = 0, k = 0; item < n_items; ++item) {
        for (const std::uint32_t c : reach_count[item]) reach_begin_[k + 1] = reach_begin_[k] + c, ++k;
        reach_blocks_.insert(reach_blocks_.end(), reach[item].begin(), reach[item].end());
        std::vector<std::uint32_t>().swap(reach[item]);
    }
    check();
    // The same pairs by block, elements in increasing order.
    std::vector<std::uint64_t> candidate_begin(block_leaf_.size() + 1, 0);
    for (const std::uint32_t b : reach_blocks_) ++candidate_begin[b + 1];
    for (std::size_t b = 0; b < block_leaf_.size(); ++b) candidate_begin[b + 1] += candidate_begin[b];
    std::vector<std::uint32_t> candidates(reach_blocks_.size());
    {
        std::vector<std::uint64_t> next(candidate_begin.begin(), candidate_begin.end() - 1);
        for (std::size_t k = 0; k < el.size(); ++k)
            for (std::uint64_t i = reach_begin_[k]; i < reach_begin_[k + 1]; ++i)
                candidates[next[reach_blocks_[i]]++] = static_cast<std::uint32_t>(k);
    }

    check();
    // Each block: the elements of its direct source leaves and of its
    // candidates, and of those the ones integrated exactly for some target.
    std::vector<std::vector<std::uint32_t>> all(block_leaf_.size()), exact(block_leaf_.size());
    std::vector<std::uint64_t> exact_pairs(block_leaf_.size(), 0);
    std::vector<std::vector<std::uint32_t>> stamp(std::max<std::size_t>(n_threads, 1));
    run_items(block_leaf_.size(), n_threads, [&](std::size_t b, std::size_t thread) {
        std::vector<std::uint32_t>& seen = stamp[thread];
        if (seen.empty()) seen.assign(el.size(), 0);
        const std::uint32_t mark = static_cast<std::uint32_t>(b + 1);
        const std::uint32_t leaf = block_leaf_[b];
        std::vector<std::uint32_t>& list = all[b];
        const auto take = [&](std::uint32_t k) {
            if (seen[k] != mark) seen[k] = mark, list.push_back(k);
        };
        for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i) {
            const Box& source = tree.boxes[in.lists.near_sources[i]];
            for (std::uint32_t s = source.src_begin; s < source.src_end; ++s)
                take(static_cast<std::uint32_t>(tree.source_order[s] / q));
        }
        for (std::uint64_t i = candidate_begin[b]; i < candidate_begin[b + 1]; ++i) take(candidates[i]);
        std::sort(list.begin(), list.end());
        const Box& box = tree.boxes[leaf];
        for (const std::uint32_t k : list) {
            const double r = in.near_factor * el.radii[k];
            std::uint64_t n = 0;
            for (std::uint32_t t = box.trg_begin; t < box.trg_end; ++t)
                if (distance2(in.targets[t], centroid(el, k)) < r * r) ++n;
            if (n > 0) exact[b].push_back(k);
            exact_pairs[b] += n;
        }
    }, poll);
    check();
    all_begin_.assign(block_leaf_.size() + 1, 0);
    exact_begin_.assign(block_leaf_.size() + 1, 0);
    for (std::size_t b = 0; b < block_leaf_.size(); ++b) {
        all_begin_[b + 1] = all_begin_[b] + all[b].size();
        exact_begin_[b + 1] = exact_begin_[b] + exact[b].size();
        n_interactions_ += all[b].size() * tree.boxes[block_leaf_[b]].n_targets();
        n_exact_ += exact_pairs[b];
    }
    all_.resize(all_begin_.back());
    exact_.resize(exact_begin_.back());
    run_items(block_leaf_.size(), n_threads, [&](std::size_t b, std::size_t) {
        std::copy(all[b].begin(), all[b].end(), all_.begin() + static_cast<std::ptrdiff_t>(all_begin_[b]));
        std::copy(exact[b].begin(), exact[b].end(), exact_.begin() + static_cast<std::ptrdiff_t>(exact_begin_[b]));
        std::vector<std::uint32_t>().swap(all[b]);
        std::vector<std::uint32_t>().swap(exact[b]);
    }, poll);
}

NearField::Columns NearField::all_columns(std::size_t b) const {
    return {all_.data() + all_begin_[b], all_begin_[b + 1] - all_begin_[b]};
}

NearField::Columns NearField::exact_columns(std::size_t b) const {
    return {exact_.data() + exact_begin_[b], exact_begin_[b + 1] - exact_begin_[b]};
}

NearField::Columns NearField::kept_columns(std::size_t b) const {
    return block_storage_[b] == NearStorage::All ? all_columns(b) : exact_columns(b);
}

std::uint64_t NearField::bytes_kept() const {
    return entry_begin_.empty() ? 0
                                : entry_begin_.back() * stored_size_ * (single_precision_ ? sizeof(float) : sizeof(double));
}

std::uint64_t NearField::trace_bytes() const {
    return traces_.size() * sizeof(Trace) + trace_begin_.size() * sizeof(std::uint64_t);
}

std::uint64_t NearField::bytes(NearStorage storage, bool single_precision) const {
    if (storage == NearStorage::None) return 0;
    std::uint64_t pairs = 0;
    for (std::size_t b = 0; b < n_blocks(); ++b) {
        const std::size_t columns = storage == NearStorage::All ? all_columns(b).size : exact_columns(b).size;
        pairs += columns * block_targets_[b];
    }
    return pairs * stored_size_ * (single_precision ? sizeof(float) : sizeof(double));
}

namespace {

// The field of element k at the targets (lists x, y, z) for unit vectors
// along the axes the kind needs, as entries (see kinds.hpp): out[v * n + i].
void exact_entries(const Kind& kind, const Elements& el, std::size_t k, const double* x, const double* y,
                   const double* z, std::size_t n, std::vector<double>& work, double* out) {
    // The accurate closed-form kernels: the operator's tolerance reaches 1e-10.
    const ElementKernel kernel =
        select_kernel(kind.source == Source::Magnetization, kind.field == Field::H, false, true);
    const Tet tet{el.tets[4 * k], el.tets[4 * k + 1], el.tets[4 * k + 2], el.tets[4 * k + 3]};
    const ElementNodes nodes{el.node(tet[0]), el.node(tet[1]), el.node(tet[2]), el.node(tet[3])};
    const std::size_t columns = kind.dipole() ? 3 : kind.curl() ? 2 : 1;
    work.assign(9 * n, 0.0);  // column a, component c at (3a + c) * n
    for (std::size_t axis = 0; axis < columns; ++axis) {
        Vec3 unit{0.0, 0.0, 0.0};
        (axis == 0 ? unit.x : axis == 1 ? unit.y : unit.z) = 1.0;
        double* f = work.data() + 3 * axis * n;
        kernel(nodes, unit, ChunkPair{{x, n}, {y, n}, {z, n}, {f, n}, {f + n, n}, {f + 2 * n, n}});
    }
    const auto col = [&](std::size_t axis, std::size_t c, std::size_t i) { return work[(3 * axis + c) * n + i]; };
    for (std::size_t i = 0; i < n; ++i) {
        if (kind.dipole()) {
            // The field of a unit vector along axis a is column a: the
            // symmetric matrix from the average of both triangles.
            out[i] = col(0, 0, i);
            out[n + i] = col(1, 1, i);
            out[2 * n + i] = col(2, 2, i);
            out[3 * n + i] = 0.5 * (col(0, 1, i) + col(1, 0, i));
            out[4 * n + i] = 0.5 * (col(0, 2, i) + col(2, 0, i));
            out[5 * n + i] = 0.5 * (col(1, 2, i) + col(2, 1, i));
        } else if (kind.curl()) {
            // c x e_x = (0, c_z, -c_y), c x e_y = (-c_z, 0, c_x).
            out[i] = col(1, 2, i);
            out[n + i] = -col(0, 2, i);
            out[2 * n + i] = col(0, 1, i);
        } else {
            out[i] = col(0, 0, i);
        }
    }
}

}  // namespace

void NearField::compute_block(const NearInputs& in, std::size_t b, Columns columns, double* values,
                              Scratch& scratch, bool with_exact, std::size_t width) const {
    const Tree& tree = in.tree;
    const Elements& el = in.elements;
    const Kind kind = in.kind;
    const std::size_t q = el.points_per_element, c = entry_size_;
    const std::uint32_t leaf = block_leaf_[b];
    const Box& box = tree.boxes[leaf];
    const std::size_t n_t = box.n_targets(), t0 = box.trg_begin, n_c = columns.size;
    const double *tx = in.targets.x.data() + t0, *ty = in.targets.y.data() + t0, *tz = in.targets.z.data() + t0;
    scratch.direct.resize(tree.boxes.size(), 0);
    for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i)
        scratch.direct[in.lists.near_sources[i]] = 1;
    scratch.terms.resize(6 * n_t);
    scratch.sign.resize(n_t);
    std::vector<std::uint8_t> near(n_t);
    std::vector<double> nx, ny, nz, exact;
    for (std::size_t j = 0; j < n_c; ++j) {
        const std::uint32_t k = columns.elements[j];
        const Vec3 ce = centroid(el, k);
        const double reach = in.near_factor * el.radii[k];
        std::size_t n_near = 0;
        for (std::size_t t = 0; t < n_t; ++t) {
            near[t] = distance2(in.targets[t0 + t], ce) < reach * reach;
            n_near += near[t];
        }
        std::fill(scratch.terms.begin(), scratch.terms.begin() + static_cast<std::ptrdiff_t>(c * n_t), 0.0);
        for (std::size_t p = 0; p < q; ++p) {
            const std::size_t point = k * q + p;
            const bool direct = scratch.direct[static_cast<std::size_t>(tree.source_leaf[in.point_slot[point]])] != 0;
            // Direct points of other elements count here; the far field
            // carries the rest, which an exact element gives back.
            if (direct ? n_near == n_t : n_near == 0) continue;
            for (std::size_t t = 0; t < n_t; ++t) scratch.sign[t] = near[t] ? (direct ? 0.0 : -1.0) : (direct ? 1.0 : 0.0);
            const std::uint32_t slot = in.point_slot[point];
            add_point_terms(kind, tx, ty, tz, scratch.sign.data(), n_t, in.points[slot], in.point_weights[slot],
                            scratch.terms.data());
        }
        if (with_exact && n_near > 0) {
            nx.clear(), ny.clear(), nz.clear();
            for (std::size_t t = 0; t < n_t; ++t)
                if (near[t]) nx.push_back(tx[t]), ny.push_back(ty[t]), nz.push_back(tz[t]);
            exact.resize(c * n_near);
            exact_entries(kind, el, k, nx.data(), ny.data(), nz.data(), n_near, scratch.kernel, exact.data());
            for (std::size_t t = 0, i = 0; t < n_t; ++t) {
                if (!near[t]) continue;
                for (std::size_t v = 0; v < c; ++v) scratch.terms[v * n_t + t] += exact[v * n_near + i];
                ++i;
            }
        }
        // Each target's row holds entry v of every column together (see
        // multiply_rows); a narrower width leaves out zz (entry 2).
        for (std::size_t t = 0; t < n_t; ++t)
            for (std::size_t v = 0, w = 0; v < c; ++v) {
                if (width < c && v == 2) continue;
                values[(t * width + w++) * n_c + j] = scratch.terms[v * n_t + t];
            }
    }
    for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i)
        scratch.direct[in.lists.near_sources[i]] = 0;
}

// A trace of H of a magnetisation below this (the field matrix is
// dimensionless) is rounding: the traces that are not are solid-angle
// fractions, -1 inside an element.
constexpr double ZERO_TRACE = 1e-9;

template <class T>
void NearField::add_exact_terms(const NearInputs& in, std::size_t first, std::size_t last, T* values,
                                std::vector<BlockTrace>& traces) const {
    const Tree& tree = in.tree;
    const Elements& el = in.elements;
    const std::size_t c = entry_size_, width = stored_size_;
    std::vector<double> nx, ny, nz, exact, work;
    std::vector<std::uint64_t> slot;    // where each near target's first entry of the element lies
    std::vector<std::uint64_t> stride;  // and how far apart its entries lie (its block's columns)
    std::vector<BlockTrace> place;  // its block, target in the block and column
    for (std::size_t k = first; k < last; ++k) {
        const Vec3 ce = centroid(el, k);
        const double reach = in.near_factor * el.radii[k];
        nx.clear(), ny.clear(), nz.clear(), slot.clear(), stride.clear(), place.clear();
        for (std::uint64_t i = reach_begin_[k]; i < reach_begin_[k + 1]; ++i) {
            const std::uint32_t b = reach_blocks_[i];
            if (block_storage_[b] == NearStorage::None) continue;
            const Box& box = tree.boxes[block_leaf_[b]];
            const Columns columns = kept_columns(b);
            const std::uint32_t* at = std::lower_bound(columns.elements, columns.elements + columns.size,
                                                       static_cast<std::uint32_t>(k));
            if (at == columns.elements + columns.size || *at != k) continue;  // near no target of the block
            const std::size_t j = static_cast<std::size_t>(at - columns.elements);
            for (std::uint32_t t = box.trg_begin; t < box.trg_end; ++t) {
                const Vec3 target = in.targets[t];
                if (!(distance2(target, ce) < reach * reach)) continue;
                nx.push_back(target.x), ny.push_back(target.y), nz.push_back(target.z);
                slot.push_back((entry_begin_[b] + (t - box.trg_begin) * columns.size) * width + j);
                stride.push_back(columns.size);
                place.push_back({b, Trace{t - box.trg_begin, static_cast<std::uint32_t>(j), 0.0}});
                // The entries lie far apart: fetched while the kernel runs.
                __builtin_prefetch(values + slot.back(), 1);
            }
        }
        if (slot.empty()) continue;
        const std::size_t n = slot.size();
        exact.resize(c * n);
        exact_entries(in.kind, el, k, nx.data(), ny.data(), nz.data(), n, work, exact.data());
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t v = 0, w = 0; v < c; ++v) {
                if (width < c && v == 2) continue;
                T& value = values[slot[i] + w++ * stride[i]];
                value = static_cast<T>(static_cast<double>(value) + exact[v * n + i]);
            }
            if (width == c) continue;
            // The point terms are traceless: the exact terms' trace is the value's.
            const double trace = exact[i] + exact[n + i] + exact[2 * n + i];
            if (std::abs(trace) > ZERO_TRACE) {
                const auto& [block, where] = place[i];
                traces.push_back({block, {where.target, where.column, trace}});
            }
        }
    }
}

void NearField::store(const NearInputs& in, std::uint64_t budget, bool single_precision, std::size_t n_threads,
                      const Poll& poll) {
    single_precision_ = single_precision;
    const std::size_t c = stored_size_;
    const std::uint64_t entry_bytes = c * (single_precision ? sizeof(float) : sizeof(double));
    // A base for every block, and the next kind up for the blocks (in tree
    // order, so neighbours alike) whose extra entries the budget still holds.
    const bool exact_fit = bytes(NearStorage::Exact, single_precision) <= budget;
    const NearStorage base = exact_fit ? NearStorage::Exact : NearStorage::None;
    const NearStorage better = exact_fit ? NearStorage::All : NearStorage::Exact;
    std::uint64_t left = budget - (exact_fit ? bytes(NearStorage::Exact, single_precision) : 0);
    block_storage_.assign(n_blocks(), base);
    std::size_t n_better = 0;
    for (std::size_t b = 0; b < n_blocks(); ++b) {
        const std::uint64_t extra = (exact_fit ? all_columns(b).size - exact_columns(b).size : exact_columns(b).size) *
                                    block_targets_[b] * entry_bytes;
        if (extra <= left) left -= extra, block_storage_[b] = better, ++n_better;
    }
    storage_ = n_better == n_blocks() ? better : n_better == 0 ? base : NearStorage::Mixed;
    entry_begin_.assign(n_blocks() + 1, 0);
    for (std::size_t b = 0; b < n_blocks(); ++b)
        entry_begin_[b + 1] = entry_begin_[b] +
                              (block_storage_[b] == NearStorage::None ? 0 : kept_columns(b).size * block_targets_[b]);
    trace_begin_.assign(n_blocks() + 1, 0);
    traces_.clear();
    if (storage_ == NearStorage::None) return;
    if (single_precision) {
        single_.reset(new float[entry_begin_.back() * c]);
    } else {
        double_.reset(new double[entry_begin_.back() * c]);
    }
    std::vector<Scratch> scratch(std::max<std::size_t>(n_threads, 1));
    run_items(n_blocks(), n_threads, [&](std::size_t b, std::size_t thread) {
        Scratch& s = scratch[thread];
        const std::uint64_t begin = entry_begin_[b] * c, count = (entry_begin_[b + 1] - entry_begin_[b]) * c;
        if (count == 0) return;
        if (single_precision) {
            s.values.resize(count);
            compute_block(in, b, kept_columns(b), s.values.data(), s, false, c);
            std::copy(s.values.begin(), s.values.begin() + static_cast<std::ptrdiff_t>(count), single_.get() + begin);
        } else {
            compute_block(in, b, kept_columns(b), double_.get() + begin, s, false, c);
        }
    }, poll);
    // Each element's exact terms in one kernel call per axis over all the
    // targets it reaches; every entry belongs to one element.
    constexpr std::size_t ELEMENTS_PER_ITEM = 64;
    const std::size_t n_elements = in.elements.size();
    const std::size_t n_items = (n_elements + ELEMENTS_PER_ITEM - 1) / ELEMENTS_PER_ITEM;
    std::vector<std::vector<BlockTrace>> found(n_items);
    run_items(n_items, n_threads, [&](std::size_t item, std::size_t) {
        const std::size_t first = item * ELEMENTS_PER_ITEM, last = std::min(n_elements, first + ELEMENTS_PER_ITEM);
        if (single_precision) {
            add_exact_terms(in, first, last, single_.get(), found[item]);
        } else {
            add_exact_terms(in, first, last, double_.get(), found[item]);
        }
    }, poll);
    // The traces block by block, in target and column order.
    std::vector<BlockTrace> all;
    for (auto& list : found) all.insert(all.end(), list.begin(), list.end()), std::vector<BlockTrace>().swap(list);
    std::sort(all.begin(), all.end(), [](const BlockTrace& a, const BlockTrace& b) {
        return std::tie(a.first, a.second.target, a.second.column) <
               std::tie(b.first, b.second.target, b.second.column);
    });
    traces_.reserve(all.size());
    for (const auto& [block, trace] : all) ++trace_begin_[block + 1], traces_.push_back(trace);
    for (std::size_t b = 0; b < n_blocks(); ++b) trace_begin_[b + 1] += trace_begin_[b];
}

void NearField::add_block(const NearInputs& in, std::size_t b, const double* vectors,
                          const double* const point_vectors[3], double* out, Scratch& scratch) const {
    const Tree& tree = in.tree;
    const std::uint32_t leaf = block_leaf_[b];
    const Box& box = tree.boxes[leaf];
    const std::size_t n_t = box.n_targets();
    const std::size_t c = stored_size_;
    const bool traceless = stored_size_ < entry_size_;
    const NearStorage storage = block_storage_[b];
    const Columns kept = kept_columns(b);
    // The columns' vectors gathered once for all the block's rows; a block
    // whose columns all carry zero vectors adds nothing and is skipped.
    scratch.vx.resize(kept.size), scratch.vy.resize(kept.size), scratch.vz.resize(kept.size);
    bool any = false;
    for (std::size_t j = 0; j < kept.size; ++j) {
        const double* v = vectors + 3 * static_cast<std::size_t>(kept.elements[j]);
        scratch.vx[j] = v[0], scratch.vy[j] = v[1], scratch.vz[j] = v[2];
        any = any || v[0] != 0.0 || v[1] != 0.0 || v[2] != 0.0;
    }
    const double *vx = scratch.vx.data(), *vy = scratch.vy.data(), *vz = scratch.vz.data();
    if (any && storage != NearStorage::None) {
        if (single_precision_)
            multiply_rows(in.kind, traceless, single_.get() + entry_begin_[b] * c, n_t, kept.size, vx, vy, vz, out);
        else
            multiply_rows(in.kind, traceless, double_.get() + entry_begin_[b] * c, n_t, kept.size, vx, vy, vz, out);
        for (std::uint64_t k = trace_begin_[b]; k < trace_begin_[b + 1]; ++k)
            out[3 * traces_[k].target + 2] += traces_[k].value * vz[traces_[k].column];
    } else if (any) {
        scratch.values.resize(n_t * kept.size * entry_size_);
        compute_block(in, b, kept, scratch.values.data(), scratch, true, entry_size_);
        multiply_rows(in.kind, false, scratch.values.data(), n_t, kept.size, vx, vy, vz, out);
    }
    if (storage == NearStorage::All) return;
    // The other elements are exact for no target of the block: their direct
    // points, gathered once, act on every target.
    if (scratch.mark.size() != in.elements.size()) scratch.mark.assign(in.elements.size(), 0);
    const std::uint32_t stamp = static_cast<std::uint32_t>(b + 1);
    for (std::size_t j = 0; j < kept.size; ++j) scratch.mark[kept.elements[j]] = stamp;
    for (auto* list : {&scratch.x, &scratch.y, &scratch.z, &scratch.w, &scratch.vx, &scratch.vy, &scratch.vz})
        list->clear();
    for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i) {
        const Box& source = tree.boxes[in.lists.near_sources[i]];
        for (std::uint32_t s = source.src_begin; s < source.src_end; ++s) {
            if (scratch.mark[in.point_element[s]] == stamp) continue;
            scratch.x.push_back(in.points.x[s]), scratch.y.push_back(in.points.y[s]), scratch.z.push_back(in.points.z[s]);
            scratch.w.push_back(in.point_weights[s]);
            scratch.vx.push_back(point_vectors[0][s]), scratch.vy.push_back(point_vectors[1][s]);
            scratch.vz.push_back(point_vectors[2][s]);
        }
    }
    for (std::size_t j = 0; j < kept.size; ++j) scratch.mark[kept.elements[j]] = 0;
    const PointSources points{scratch.x.data(), scratch.y.data(), scratch.z.data(), scratch.w.data(),
                              scratch.vx.data(), scratch.vy.data(), scratch.vz.data(), scratch.x.size()};
    for (std::size_t t = 0; t < n_t; ++t) add_point_fields(in.kind, in.targets[box.trg_begin + t], points, out + 3 * t);
}

}  // namespace corvane::fmm
