// Build and application of the field operator: source points to multipoles,
// upward translations, multipole-to-local translations in batches of one
// matrix, downward translations, locals to targets plus the near field.
#include "fmm/field_operator.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "fmm/expansions.hpp"
#include "fmm/harmonics.hpp"
#include "fmm/m2l.hpp"
#include "fmm/orders.hpp"
#include "fmm/quadrature.hpp"
#include "lib/failure.hpp"

namespace corvane::fmm {
namespace {

// Far pairs per item of the multipole-to-local pass: enough columns per
// translation matrix to keep the products compute-bound.
constexpr std::size_t CHUNK_PAIRS = 8192;
// Elements and targets per leaf where larger leaves would cost more or their
// near values would not all fit.
constexpr std::size_t SMALL_LEAF = 16;

Vec3 octant_shift(std::size_t octant) {
    return {(octant & 1) ? 0.25 : -0.25, (octant & 2) ? 0.25 : -0.25, (octant & 4) ? 0.25 : -0.25};
}

std::size_t octant_of(const Box& b) {
    return (b.index[0] & 1) | ((b.index[1] & 1) << 1) | ((b.index[2] & 1) << 2);
}

template <class T>
std::uint64_t bytes_of(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

}  // namespace

Parameters parameters_for(double tolerance) {
    // Calibrated on unstructured gmsh balls against the direct sum of the
    // accurate exact element kernels, smooth and random vectors, targets at
    // the centroids, inside and outside. Two errors remain: the largest
    // expansion order's (about a factor 1.5 per order near 1e-10, hence one
    // order more per digit beyond four) and the quadrature of the elements
    // beyond the exact reach (falling as (radius / distance)^(degree + 1):
    // the 14-point rule left 4e-8 at 4.4 radii, the degree-9 rule below
    // 1e-11).
    Parameters p;
    const double digits = -std::log10(tolerance);
    p.order = static_cast<std::size_t>(
        std::clamp(std::ceil(3.0 * digits) + 2.0 + std::max(0.0, std::ceil(digits - 4.0)), 6.0, 40.0));
    p.translation_bound = tolerance;
    p.near_factor = std::max(1.5, 0.4 * digits + 0.4);
    p.quadrature_degree = digits <= 5.5 ? 5 : digits <= 6.5 ? 7 : 9;
    // The symmetric degree-9 rule erred 1.1e-9 at 1e-9 on a 10^5-element
    // ball; the product rule stays within the tightest tolerances.
    p.product_rule = digits > 8.5;
    // Larger leaves trade translations for near-field values. At orders from
    // 14 up, 32 per leaf took the application from 1.1 to 0.75 s on a
    // 10^5-element ball and from 1.06 to 0.62 s on an 85,000-element yoke
    // (near values 40-60 % larger), but from 0.107 to 0.135 s on a
    // 10^4-element ball, whose tree they made deeper; at 1e-2 and 1e-3 16
    // were as fast. The constructor weighs the two trees.
    p.leaf_elements = p.leaf_targets = tolerance <= 3e-4 ? 32 : SMALL_LEAF;
    p.single_precision = tolerance >= 1e-5;
    return p;
}

FieldOperator::FieldOperator(Vec3List nodes, TetList tets, const Points& targets, const OperatorSettings& settings,
                             const Progress& progress)
    : settings_(settings), parameters_(parameters_for(settings.tolerance)) {
    const auto started = std::chrono::steady_clock::now();
    if (tets.size() == 0) fail("the operator needs at least one element");
    if (tets.size() >= (1ULL << 32) / 16) fail("too many elements for the operator");
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Vec3 t = targets[i];
        if (!std::isfinite(t.x) || !std::isfinite(t.y) || !std::isfinite(t.z)) fail("targets must be finite");
    }
    for (std::size_t i = 0; i < 3 * nodes.size(); ++i)
        if (!std::isfinite(nodes.data()[i])) fail("nodes must be finite");
    const std::size_t threads = std::max<std::size_t>(settings.n_threads, 1);
    const std::size_t p = parameters_.order, k = real_count(p);

    // Progress: the stages report where they start; storing the near field
    // takes most of the build.
    const auto stage = [&](double start) -> Poll {
        return [&progress, start] { return !progress || progress(start); };
    };
    elements_ = make_elements(nodes, tets,
                              parameters_.product_rule ? product_rule(parameters_.quadrature_degree)
                                                       : tetrahedron_rule(parameters_.quadrature_degree),
                              threads, stage(0.0));
    // Leaves of SMALL_LEAF elements and targets, or from 3e-4 down of 32,
    // whichever an application's estimated cost favours; the larger only
    // where all their near values fit, since their fewer translations pay
    // only while no near point is summed again at each application. Larger
    // leaves have more near pairs: where the smaller ones' values do not all
    // fit (10^6 elements at the default limit), theirs are not tried.
    plan(SMALL_LEAF, SMALL_LEAF, targets, threads, stage);
    if (parameters_.leaf_elements > SMALL_LEAF &&
        near_->bytes(NearStorage::All, parameters_.single_precision) <= settings.memory_limit) {
        const double small_cost = application_cost();
        Plan small = take_plan();
        // Progress stays where the first plan left it.
        plan(parameters_.leaf_elements, parameters_.leaf_targets, targets, threads,
             [&](double) { return stage(0.08); });
        if (near_->bytes(NearStorage::All, parameters_.single_precision) > settings.memory_limit ||
            application_cost() >= small_cost) {
            put_plan(std::move(small));
            parameters_.leaf_elements = parameters_.leaf_targets = SMALL_LEAF;
        }
    } else {
        parameters_.leaf_elements = parameters_.leaf_targets = SMALL_LEAF;
    }
    // The tree-order copy is the only one used from here on.
    elements_.points = Points{};
    elements_.point_weights = std::vector<double>();

    // Each translation at the order its test asks for.
    translations_.resize(lists_.translations.size());
    run_items(translations_.size(), threads, [&](std::size_t i, std::size_t) {
        const TranslationKey& key = lists_.translations[i];
        translations_[i] = key_translation(key, p, parameters_.translation_bound);
    }, stage(0.1));
    for (std::size_t o = 0; o < 8; ++o) {
        m2m_.push_back(axial_shift(p, octant_shift(o), true));
        l2l_.push_back(axial_shift(p, octant_shift(o), false));
    }
    for (std::size_t b = 0; b < tree_.boxes.size(); ++b)
        if (tree_.boxes[b].leaf && tree_.boxes[b].n_sources() > 0) source_leaves_.push_back(static_cast<std::uint32_t>(b));
    // Per level and octant: the boxes whose multipole goes up to a parent,
    // and those that take a local from their parent.
    upward_.assign(tree_.n_levels(), {});
    downward_.assign(tree_.n_levels(), {});
    for (std::size_t b = 1; b < tree_.boxes.size(); ++b) {
        const Box& box = tree_.boxes[b];
        if (box.n_sources() > 0) upward_[box.level][octant_of(box)].push_back(static_cast<std::uint32_t>(b));
        if (box.n_targets() > 0) downward_[box.level][octant_of(box)].push_back(static_cast<std::uint32_t>(b));
    }
    // Chunks of whole target boxes, each sorted by translation: one batch of
    // expansions per translation and chunk, summed into each target box in
    // translation order.
    far_pairs_ = lists_.far.size();
    chunk_pairs_ = std::move(lists_.far);
    lists_.far = std::vector<FarPair>();
    chunk_begin_.push_back(0);
    for (std::size_t i = 0; i < chunk_pairs_.size();) {
        std::size_t end = std::min(i + CHUNK_PAIRS, chunk_pairs_.size());
        while (end < chunk_pairs_.size() && chunk_pairs_[end].target_box == chunk_pairs_[end - 1].target_box) ++end;
        chunk_begin_.push_back(end);
        i = end;
    }
    run_items(chunk_begin_.size() - 1, threads, [&](std::size_t c, std::size_t) {
        std::sort(chunk_pairs_.begin() + static_cast<std::ptrdiff_t>(chunk_begin_[c]),
                  chunk_pairs_.begin() + static_cast<std::ptrdiff_t>(chunk_begin_[c + 1]),
                  [](const FarPair& a, const FarPair& b) {
                      return a.translation != b.translation ? a.translation < b.translation : a.target_box < b.target_box;
                  });
    }, stage(0.15));

    // Keep what fits: every near value, or those of the exactly integrated
    // elements and every value of as many leaves as the limit allows.
    near_->store(near_inputs(), settings.memory_limit, parameters_.single_precision, threads, stage(0.25));

    info_.elements = elements_.size();
    info_.targets = targets.size();
    info_.order = p;
    info_.boxes = tree_.boxes.size();
    info_.levels = tree_.n_levels();
    info_.translations = translations_.size();
    info_.far_interactions = far_pairs_ + lists_.direct_sources.size();
    info_.near_interactions = near_->n_interactions();
    info_.exact_pairs = near_->n_exact();
    info_.near_storage = near_->storage();
    std::uint64_t bytes = bytes_of(elements_.nodes) + bytes_of(elements_.tets) + bytes_of(elements_.volumes) +
                          bytes_of(elements_.radii) + 3 * bytes_of(elements_.centroids.x) +
                          bytes_of(tree_.boxes) + bytes_of(tree_.source_order) + bytes_of(tree_.target_order) +
                          bytes_of(tree_.source_leaf) + bytes_of(tree_.target_leaf) + 3 * bytes_of(targets_.x) +
                          bytes_of(point_slot_) + 3 * bytes_of(points_.x) + bytes_of(point_weights_) +
                          bytes_of(point_element_) + bytes_of(lists_.near_sources) + bytes_of(lists_.direct_sources) +
                          bytes_of(chunk_pairs_);
    const auto add = [&](const AxialTranslation& t) {
        for (const auto* blocks : {&t.to_real, &t.to_imaginary, &t.along_axis, &t.from_real, &t.from_imaginary})
            for (const auto& b : *blocks) bytes += bytes_of(b);
        for (const auto* phases : {&t.in_cos, &t.in_sin, &t.out_cos, &t.out_sin}) bytes += bytes_of(*phases);
    };
    for (const auto& t : translations_) add(*t);
    for (const auto* set : {&m2m_, &l2l_})
        for (const AxialTranslation& t : *set) add(t);
    info_.near_bytes = near_->bytes_kept();
    // The multipole and local expansions of every box, and the vectors at the points.
    info_.apply_bytes = sizeof(double) * (2 * tree_.boxes.size() * settings_.kind.components() * k + 3 * points_.size());
    bytes += info_.near_bytes + near_->trace_bytes();
    info_.bytes = bytes;
    info_.build_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (progress && !progress(1.0)) throw Cancelled();
}

void FieldOperator::plan(std::size_t leaf_elements, std::size_t leaf_targets, const Points& targets,
                         std::size_t threads, const std::function<Poll(double)>& stage) {
    const std::size_t q = elements_.points_per_element;
    // A first tree tells how full its leaves are; the second, on a root cube
    // scaled to fill them to about three quarters of the limit, has fewer
    // boxes and so fewer translations.
    TreeSettings tree_settings{leaf_elements * q, leaf_targets, 1.0};
    tree_ = build_tree(elements_.points, targets, tree_settings, threads, stage(0.02));
    tree_settings.scale = fuller_scale(tree_, 0.75 * static_cast<double>(leaf_targets));
    if (tree_settings.scale > 1.05) tree_ = build_tree(elements_.points, targets, tree_settings, threads, stage(0.03));
    const std::size_t n_points = elements_.points.size();
    points_ = Points{std::vector<double>(n_points), std::vector<double>(n_points), std::vector<double>(n_points)};
    point_weights_.resize(n_points);
    point_element_.resize(n_points);
    point_slot_.resize(n_points);
    targets_ = Points{std::vector<double>(targets.size()), std::vector<double>(targets.size()),
                      std::vector<double>(targets.size())};
    constexpr std::size_t RANGE = 1 << 16;
    run_items((n_points + RANGE - 1) / RANGE, threads, [&](std::size_t item, std::size_t) {
        for (std::size_t s = item * RANGE; s < std::min(n_points, (item + 1) * RANGE); ++s) {
            const std::uint32_t i = tree_.source_order[s];
            points_.x[s] = elements_.points.x[i], points_.y[s] = elements_.points.y[i], points_.z[s] = elements_.points.z[i];
            point_weights_[s] = elements_.point_weights[i];
            point_element_[s] = static_cast<std::uint32_t>(i / q);
            point_slot_[i] = static_cast<std::uint32_t>(s);
        }
    }, stage(0.04));
    for (std::size_t s = 0; s < targets.size(); ++s) {
        const std::uint32_t i = tree_.target_order[s];
        targets_.x[s] = targets.x[i], targets_.y[s] = targets.y[i], targets_.z[s] = targets.z[i];
    }
    lists_ = build_interactions(tree_, threads, stage(0.05));
    near_ = std::make_unique<NearField>(near_inputs(), threads, stage(0.08));
}

double FieldOperator::application_cost() const {
    // A multipole-to-local translation at order 14 costs about as much as
    // 190 kept near values (fitted on gmsh balls of 2,694 to 99,809 elements,
    // a frame and a yoke), and grows as (order + 1)^3.
    const double r = static_cast<double>(parameters_.order + 1) / 15.0;
    return 190.0 * r * r * r * static_cast<double>(lists_.far.size() + lists_.direct_sources.size()) +
           static_cast<double>(near_->n_interactions());
}

FieldOperator::Plan FieldOperator::take_plan() {
    return Plan{std::move(tree_),          std::move(targets_),       std::move(point_slot_),
                std::move(points_),        std::move(point_weights_), std::move(point_element_),
                std::move(lists_),         std::move(near_)};
}

void FieldOperator::put_plan(Plan&& plan) {
    tree_ = std::move(plan.tree);
    targets_ = std::move(plan.targets);
    point_slot_ = std::move(plan.point_slot);
    points_ = std::move(plan.points);
    point_weights_ = std::move(plan.point_weights);
    point_element_ = std::move(plan.point_element);
    lists_ = std::move(plan.lists);
    near_ = std::move(plan.near);
}

NearInputs FieldOperator::near_inputs() const {
    return NearInputs{tree_,           lists_,         elements_,      targets_,
                      points_,         point_weights_, point_element_, point_slot_,
                      settings_.kind,  parameters_.near_factor};
}

void FieldOperator::apply(const double* vectors, double* out, const Progress& progress) const {
    const Kind kind = settings_.kind;
    const std::size_t p = parameters_.order, k = real_count(p);
    const std::size_t comps = kind.components(), stride = comps * k;
    const std::size_t threads = std::max<std::size_t>(settings_.n_threads, 1);
    const std::size_t n_boxes = tree_.boxes.size(), n_points = points_.size();
    const Poll poll = [&] { return !progress || progress(0.0); };
    // Every pass runs in short items on the worker threads; the buffers are
    // first touched there, not zeroed ahead.
    const auto in_ranges = [&](std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        constexpr std::size_t RANGE = 16384;
        run_items((n + RANGE - 1) / RANGE, threads, [&](std::size_t item, std::size_t) {
            body(item * RANGE, std::min(n, (item + 1) * RANGE));
        }, poll);
    };
    std::unique_ptr<double[]> multipole(new double[n_boxes * stride]), local(new double[n_boxes * stride]);
    std::unique_ptr<double[]> pvx(new double[n_points]), pvy(new double[n_points]), pvz(new double[n_points]);
    in_ranges(n_points, [&](std::size_t first, std::size_t last) {
        for (std::size_t s = first; s < last; ++s) {
            const double* v = vectors + 3 * point_element_[s];
            pvx[s] = v[0], pvy[s] = v[1], pvz[s] = v[2];
        }
    });
    in_ranges(n_boxes, [&](std::size_t first, std::size_t last) {
        std::fill(local.get() + first * stride, local.get() + last * stride, 0.0);
    });

    // Source points to the multipoles of their leaves. A box whose sources
    // all carry zero vectors (a magnet's remanence beside unmagnetised
    // steel) has a zero multipole: its translations and near values, which
    // would add only zeros, are skipped (the same bits).
    std::vector<std::uint8_t> active(n_boxes, 0);
    std::vector<std::vector<double>> scratch_of(threads);
    run_items(source_leaves_.size(), threads, [&](std::size_t item, std::size_t thread) {
        const std::uint32_t b = source_leaves_[item];
        const Box& box = tree_.boxes[b];
        const std::size_t s = box.src_begin;
        bool any = false;
        for (std::size_t i = s; i < box.src_end && !any; ++i) any = pvx[i] != 0.0 || pvy[i] != 0.0 || pvz[i] != 0.0;
        active[b] = any;
        if (!any) {
            std::fill(multipole.get() + b * stride, multipole.get() + (b + 1) * stride, 0.0);
            return;
        }
        const SourceBatch batch{points_.x.data() + s, points_.y.data() + s, points_.z.data() + s,
                                point_weights_.data() + s, pvx.get() + s, pvy.get() + s, pvz.get() + s,
                                box.n_sources()};
        points_to_multipole(kind, p, tree_.centre(box), tree_.width(box.level), batch,
                            std::span<double>(multipole.get() + b * stride, stride), scratch_of[thread]);
    }, poll);
    // Boxes come level by level, each after its parent.
    for (std::size_t b = n_boxes; b-- > 1;)
        if (active[b]) active[static_cast<std::size_t>(tree_.boxes[b].parent)] = 1;

    // Children to parents, deepest level first; per level, the children of
    // one octant after the other, so that each parent sums its children in
    // octant order. Columns (box, component) in batches of M2L_BATCH lanes,
    // each translated on its own.
    constexpr std::size_t BOXES = 256;
    const auto shift_batches = [&](const std::vector<std::uint32_t>& boxes, const AxialTranslation& t,
                                   double* expansions, bool to_parent) {
        run_items((boxes.size() + BOXES - 1) / BOXES, threads, [&](std::size_t item, std::size_t) {
            const std::size_t first = item * BOXES, n_cols = std::min(BOXES, boxes.size() - first) * comps;
            std::vector<double> x(k * M2L_BATCH, 0.0), y(k * M2L_BATCH), scratch(4 * k * M2L_BATCH);
            for (std::size_t c0 = 0; c0 < n_cols; c0 += M2L_BATCH) {
                const std::size_t used = std::min(M2L_BATCH, n_cols - c0);
                if (used < M2L_BATCH) std::fill(x.begin(), x.end(), 0.0);
                const double* from[M2L_BATCH];
                double* to[M2L_BATCH];
                for (std::size_t l = 0; l < used; ++l) {
                    const std::uint32_t b = boxes[first + (c0 + l) / comps];
                    const std::size_t comp = (c0 + l) % comps, parent = static_cast<std::size_t>(tree_.boxes[b].parent);
                    from[l] = expansions + (to_parent ? b : parent) * stride + comp * k;
                    to[l] = expansions + (to_parent ? parent : b) * stride + comp * k;
                }
                for (std::size_t r = 0; r < k; ++r)
                    for (std::size_t l = 0; l < used; ++l) x[r * M2L_BATCH + l] = from[l][r];
                translate_batch(t, x.data(), y.data(), scratch.data());
                for (std::size_t r = 0; r < k; ++r)
                    for (std::size_t l = 0; l < used; ++l) to[l][r] += y[r * M2L_BATCH + l];
            }
        }, poll);
    };
    for (std::size_t level = tree_.n_levels(); level-- > 1;) {
        const std::size_t begin = tree_.level_begin[level - 1], end = tree_.level_begin[level];
        in_ranges(end - begin, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = begin + first; b < begin + last; ++b)
                if (!tree_.boxes[b].leaf) std::fill(multipole.get() + b * stride, multipole.get() + (b + 1) * stride, 0.0);
        });
        for (std::size_t o = 0; o < 8; ++o)
            shift_batches(upward_[level][o], m2m_[o], multipole.get(), true);
    }

    // Multipole to local, in batches of expansions that share a translation.
    run_items(chunk_begin_.size() - 1, threads, [&](std::size_t chunk, std::size_t) {
        std::vector<double> x(k * M2L_BATCH), y(k * M2L_BATCH), scratch(4 * k * M2L_BATCH);
        std::vector<std::uint32_t> live;
        for (std::size_t i = chunk_begin_[chunk]; i < chunk_begin_[chunk + 1];) {
            std::size_t j = i;
            live.clear();
            for (; j < chunk_begin_[chunk + 1] && chunk_pairs_[j].translation == chunk_pairs_[i].translation; ++j)
                if (active[chunk_pairs_[j].source_box]) live.push_back(static_cast<std::uint32_t>(j));
            const AxialTranslation& t = *translations_[chunk_pairs_[i].translation];
            const std::size_t kt = real_count(t.order);
            // Columns (pair, component) in batches; unused lanes stay zero.
            // Each lane is translated on its own, whichever pairs share it.
            const std::size_t n_cols = live.size() * comps;
            for (std::size_t first = 0; first < n_cols; first += M2L_BATCH) {
                const std::size_t used = std::min(M2L_BATCH, n_cols - first);
                if (used < M2L_BATCH) std::fill(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(kt * M2L_BATCH), 0.0);
                const double* from[M2L_BATCH];
                double* to[M2L_BATCH];
                for (std::size_t l = 0; l < used; ++l) {
                    const std::size_t pair = live[(first + l) / comps], comp = (first + l) % comps;
                    from[l] = multipole.get() + chunk_pairs_[pair].source_box * stride + comp * k;
                    to[l] = local.get() + chunk_pairs_[pair].target_box * stride + comp * k;
                }
                // Row by row: the batch's rows are read and written in order,
                // each expansion's coefficients in order too.
                for (std::size_t r = 0; r < kt; ++r)
                    for (std::size_t l = 0; l < used; ++l) x[r * M2L_BATCH + l] = from[l][r];
                translate_batch(t, x.data(), y.data(), scratch.data());
                for (std::size_t r = 0; r < kt; ++r)
                    for (std::size_t l = 0; l < used; ++l) to[l][r] += y[r * M2L_BATCH + l];
            }
            i = j;
        }
    }, poll);
    in_ranges(n_boxes, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            const double s = 1.0 / tree_.width(tree_.boxes[b].level);
            for (std::size_t i = 0; i < stride; ++i) local[b * stride + i] *= s;
        }
    });

    // Parents to children, from the top, the boxes of one octant at a time.
    for (std::size_t level = 1; level < tree_.n_levels(); ++level)
        for (std::size_t o = 0; o < 8; ++o) shift_batches(downward_[level][o], l2l_[o], local.get(), false);

    // Locals at the targets of each leaf, plus its near field.
    std::unique_ptr<double[]> sorted(new double[3 * targets_.size()]);
    std::vector<NearField::Scratch> scratch(threads);
    const NearInputs in = near_inputs();
    const double* const point_vectors[3] = {pvx.get(), pvy.get(), pvz.get()};
    run_items(near_->n_blocks(), threads, [&](std::size_t b, std::size_t thread) {
        const std::uint32_t leaf = near_->leaf(b);
        const Box& box = tree_.boxes[leaf];
        const std::size_t t = box.trg_begin;
        std::fill(sorted.get() + 3 * t, sorted.get() + 3 * box.trg_end, 0.0);
        local_to_targets(kind, p, tree_.centre(box), tree_.width(box.level),
                         std::span<const double>(local.get() + leaf * stride, stride), targets_.x.data() + t,
                         targets_.y.data() + t, targets_.z.data() + t, box.n_targets(), sorted.get() + 3 * t,
                         scratch_of[thread]);
        for (std::uint32_t i = lists_.direct_begin[leaf]; i < lists_.direct_begin[leaf + 1]; ++i) {
            const std::uint32_t a = lists_.direct_sources[i];
            if (!active[a]) continue;
            const Box& source = tree_.boxes[a];
            multipole_to_targets(kind, p, tree_.centre(source), tree_.width(source.level),
                                 std::span<const double>(multipole.get() + a * stride, stride), targets_.x.data() + t,
                                 targets_.y.data() + t, targets_.z.data() + t, box.n_targets(), sorted.get() + 3 * t,
                                 scratch_of[thread]);
        }
        near_->add_block(in, b, vectors, point_vectors, sorted.get() + 3 * t, scratch[thread]);
    }, poll);
    in_ranges(targets_.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t s = first; s < last; ++s) {
            const std::uint32_t i = tree_.target_order[s];
            out[3 * i] = sorted[3 * s], out[3 * i + 1] = sorted[3 * s + 1], out[3 * i + 2] = sorted[3 * s + 2];
        }
    });
}

}  // namespace corvane::fmm
