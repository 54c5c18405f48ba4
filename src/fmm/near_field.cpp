// Near-field blocks: element lists, values and their application.
#include "fmm/near_field.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "biotsavart/direct.hpp"
#include "lib/failure.hpp"

namespace corvane::fmm {
namespace {

constexpr double INV_4PI = 0.07957747154594767;

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

// Adds sign times the interaction of the point (x, weight) with target t.
void add_point(const Kind& kind, const Vec3& t, const Vec3& x, double weight, double* value) {
    const Vec3 d = t - x;
    const double r2 = (d.x * d.x + d.y * d.y) + d.z * d.z;
    const double r = std::sqrt(r2);
    if (kind.dipole()) {
        const double s = weight * INV_4PI / (r2 * r);
        const double k = 3.0 / r2;
        value[0] += s * (k * d.x * d.x - 1.0);
        value[1] += s * (k * d.y * d.y - 1.0);
        value[2] += s * (k * d.z * d.z - 1.0);
        value[3] += s * (k * d.x * d.y);
        value[4] += s * (k * d.x * d.z);
        value[5] += s * (k * d.y * d.z);
    } else if (kind.curl()) {
        const double s = -weight * kind.curl_constant() / (r2 * r);
        value[0] += s * d.x;
        value[1] += s * d.y;
        value[2] += s * d.z;
    } else {
        value[0] += weight * 1e-7 / r;
    }
}

}  // namespace

NearField::NearField(const NearInputs& in, std::size_t n_threads, const Poll& poll) {
    const Tree& tree = in.tree;
    const Elements& el = in.elements;
    const std::size_t q = el.points_per_element;
    entry_size_ = in.kind.entry_size();
    leaf_block_.assign(tree.boxes.size(), -1);
    for (std::size_t b = 0; b < tree.boxes.size(); ++b) {
        const Box& box = tree.boxes[b];
        if (box.leaf && box.n_targets() > 0) {
            leaf_block_[b] = static_cast<std::int64_t>(block_leaf_.size());
            block_leaf_.push_back(static_cast<std::uint32_t>(b));
        }
    }
    // Elements whose exact reach touches a target leaf.
    std::vector<std::vector<std::uint32_t>> candidates(block_leaf_.size());
    std::vector<std::uint32_t> found;
    for (std::size_t k = 0; k < el.size(); ++k) {
        const double reach = in.near_factor * el.radii[k];
        found.clear();
        leaves_within(tree, centroid(el, k), reach * reach, found);
        for (const std::uint32_t leaf : found) candidates[static_cast<std::size_t>(leaf_block_[leaf])].push_back(static_cast<std::uint32_t>(k));
    }
    // Each block: the elements of its direct source leaves and its candidates.
    std::vector<std::vector<std::uint32_t>> lists(block_leaf_.size());
    std::vector<std::uint64_t> exact(block_leaf_.size(), 0);
    run_items(block_leaf_.size(), n_threads, [&](std::size_t b, std::size_t) {
        const std::uint32_t leaf = block_leaf_[b];
        std::vector<std::uint32_t>& list = lists[b];
        for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i) {
            const Box& source = tree.boxes[in.lists.near_sources[i]];
            for (std::uint32_t s = source.src_begin; s < source.src_end; ++s)
                list.push_back(static_cast<std::uint32_t>(tree.source_order[s] / q));
        }
        list.insert(list.end(), candidates[b].begin(), candidates[b].end());
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        const Box& box = tree.boxes[leaf];
        for (const std::uint32_t k : list) {
            const double reach = in.near_factor * el.radii[k];
            for (std::uint32_t t = box.trg_begin; t < box.trg_end; ++t)
                if (distance2(in.targets[t], centroid(el, k)) < reach * reach) ++exact[b];
        }
    }, poll);
    element_begin_.assign(block_leaf_.size() + 1, 0);
    entry_begin_.assign(block_leaf_.size() + 1, 0);
    for (std::size_t b = 0; b < block_leaf_.size(); ++b) {
        element_begin_[b + 1] = element_begin_[b] + lists[b].size();
        entry_begin_[b + 1] = entry_begin_[b] + lists[b].size() * tree.boxes[block_leaf_[b]].n_targets();
        n_exact_ += exact[b];
    }
    elements_.reserve(element_begin_.back());
    for (auto& list : lists) {
        elements_.insert(elements_.end(), list.begin(), list.end());
        std::vector<std::uint32_t>().swap(list);
    }
}

std::uint64_t NearField::bytes(bool single_precision) const {
    return n_interactions() * (single_precision ? sizeof(float) : sizeof(double)) * entry_size_;
}

void NearField::compute_block(const NearInputs& in, std::size_t b, double* values, Scratch& scratch,
                              std::uint64_t* n_exact) const {
    const Tree& tree = in.tree;
    const Elements& el = in.elements;
    const Kind kind = in.kind;
    const std::size_t q = el.points_per_element, c = kind.entry_size();
    const std::uint32_t leaf = block_leaf_[b];
    const Box& box = tree.boxes[leaf];
    const std::size_t n_t = box.n_targets();
    const std::size_t n_e = element_begin_[b + 1] - element_begin_[b];
    const std::uint32_t* list = elements_.data() + element_begin_[b];
    std::fill(values, values + n_t * n_e * c, 0.0);
    scratch.direct.resize(tree.boxes.size(), 0);
    for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i)
        scratch.direct[in.lists.near_sources[i]] = 1;

    const ElementKernel kernel = select_kernel(kind.source == Source::Magnetization, kind.field == Field::H, false);
    std::vector<std::uint32_t> near;
    std::vector<double> nx, ny, nz, fx, fy, fz;
    for (std::size_t j = 0; j < n_e; ++j) {
        const std::uint32_t k = list[j];
        const Vec3 ce = centroid(el, k);
        const double reach = in.near_factor * el.radii[k];
        near.clear();
        for (std::size_t t = 0; t < n_t; ++t)
            if (distance2(in.targets[box.trg_begin + t], ce) < reach * reach) near.push_back(static_cast<std::uint32_t>(t));
        std::size_t next_near = 0;
        for (std::size_t t = 0; t < n_t; ++t) {
            const bool is_near = next_near < near.size() && near[next_near] == t;
            if (is_near) ++next_near;
            const Vec3 target = in.targets[box.trg_begin + t];
            double* value = values + (t * n_e + j) * c;
            for (std::size_t p = 0; p < q; ++p) {
                const std::size_t point = k * q + p;
                const bool direct = scratch.direct[static_cast<std::size_t>(tree.source_leaf[in.point_slot[point]])] != 0;
                // Direct points of far elements count here; the far field
                // carries the other points, which an exact element gives back.
                if (is_near == direct) continue;
                double term[6] = {0, 0, 0, 0, 0, 0};
                add_point(kind, target, el.points[point], el.point_weights[point], term);
                const double sign = is_near ? -1.0 : 1.0;
                for (std::size_t v = 0; v < c; ++v) value[v] += sign * term[v];
            }
        }
        if (near.empty()) continue;
        if (n_exact) *n_exact += near.size();
        // The element's exact field for unit vectors along the axes.
        const std::size_t m = near.size();
        nx.resize(m), ny.resize(m), nz.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            const Vec3 t = in.targets[box.trg_begin + near[i]];
            nx[i] = t.x, ny[i] = t.y, nz[i] = t.z;
        }
        const Tet tet{el.tets[4 * k], el.tets[4 * k + 1], el.tets[4 * k + 2], el.tets[4 * k + 3]};
        const ElementNodes nodes{el.node(tet[0]), el.node(tet[1]), el.node(tet[2]), el.node(tet[3])};
        const std::size_t columns = kind.dipole() ? 3 : kind.curl() ? 2 : 1;
        std::array<std::vector<double>, 3> cx, cy, cz;
        for (std::size_t axis = 0; axis < columns; ++axis) {
            fx.assign(m, 0.0), fy.assign(m, 0.0), fz.assign(m, 0.0);
            Vec3 unit{0.0, 0.0, 0.0};
            (axis == 0 ? unit.x : axis == 1 ? unit.y : unit.z) = 1.0;
            kernel(nodes, unit, ChunkPair{nx, ny, nz, fx, fy, fz});
            cx[axis] = fx, cy[axis] = fy, cz[axis] = fz;
        }
        for (std::size_t i = 0; i < m; ++i) {
            double* value = values + (near[i] * n_e + j) * c;
            if (kind.dipole()) {
                // Column a holds the field of a unit vector along axis a: the
                // symmetric matrix from the average of both triangles.
                value[0] += cx[0][i];
                value[1] += cy[1][i];
                value[2] += cz[2][i];
                value[3] += 0.5 * (cy[0][i] + cx[1][i]);
                value[4] += 0.5 * (cz[0][i] + cx[2][i]);
                value[5] += 0.5 * (cz[1][i] + cy[2][i]);
            } else if (kind.curl()) {
                // c x e_x = (0, c_z, -c_y), c x e_y = (-c_z, 0, c_x).
                value[0] += cz[1][i];
                value[1] -= cz[0][i];
                value[2] += cy[0][i];
            } else {
                value[0] += cx[0][i];
            }
        }
    }
    for (std::uint32_t i = in.lists.near_begin[leaf]; i < in.lists.near_begin[leaf + 1]; ++i)
        scratch.direct[in.lists.near_sources[i]] = 0;
}

void NearField::store(const NearInputs& in, bool single_precision, std::size_t n_threads, const Poll& poll) {
    const std::size_t c = in.kind.entry_size();
    single_precision_ = single_precision;
    if (single_precision) {
        single_.resize(n_interactions() * c);
    } else {
        double_.resize(n_interactions() * c);
    }
    std::vector<Scratch> scratch(std::max<std::size_t>(n_threads, 1));
    run_items(n_blocks(), n_threads, [&](std::size_t b, std::size_t thread) {
        Scratch& s = scratch[thread];
        const std::uint64_t begin = entry_begin_[b] * c, count = (entry_begin_[b + 1] - entry_begin_[b]) * c;
        if (single_precision) {
            s.values.resize(count);
            compute_block(in, b, s.values.data(), s, nullptr);
            std::copy(s.values.begin(), s.values.begin() + static_cast<std::ptrdiff_t>(count), single_.begin() + static_cast<std::ptrdiff_t>(begin));
        } else {
            compute_block(in, b, double_.data() + begin, s, nullptr);
        }
    }, poll);
    stored_ = true;
}

namespace {

template <class T>
void multiply_block(const Kind& kind, const T* values, const std::uint32_t* list, std::size_t n_t, std::size_t n_e,
                    const double* vectors, double* out) {
    const std::size_t c = kind.entry_size();
    for (std::size_t t = 0; t < n_t; ++t) {
        double sx = 0.0, sy = 0.0, sz = 0.0;
        const T* row = values + t * n_e * c;
        for (std::size_t j = 0; j < n_e; ++j) {
            const double* v = vectors + 3 * list[j];
            const T* a = row + j * c;
            if (kind.dipole()) {
                sx += (double(a[0]) * v[0] + double(a[3]) * v[1]) + double(a[4]) * v[2];
                sy += (double(a[3]) * v[0] + double(a[1]) * v[1]) + double(a[5]) * v[2];
                sz += (double(a[4]) * v[0] + double(a[5]) * v[1]) + double(a[2]) * v[2];
            } else if (kind.curl()) {
                sx += double(a[1]) * v[2] - double(a[2]) * v[1];
                sy += double(a[2]) * v[0] - double(a[0]) * v[2];
                sz += double(a[0]) * v[1] - double(a[1]) * v[0];
            } else {
                sx += double(a[0]) * v[0];
                sy += double(a[0]) * v[1];
                sz += double(a[0]) * v[2];
            }
        }
        out[3 * t] += sx;
        out[3 * t + 1] += sy;
        out[3 * t + 2] += sz;
    }
}

}  // namespace

void NearField::add_block(const NearInputs& in, std::size_t b, const double* vectors, double* out,
                          Scratch& scratch) const {
    const std::size_t n_t = in.tree.boxes[block_leaf_[b]].n_targets();
    const std::size_t n_e = element_begin_[b + 1] - element_begin_[b];
    const std::uint32_t* list = elements_.data() + element_begin_[b];
    const std::size_t c = in.kind.entry_size();
    if (stored_ && single_precision_) {
        multiply_block(in.kind, single_.data() + entry_begin_[b] * c, list, n_t, n_e, vectors, out);
    } else if (stored_) {
        multiply_block(in.kind, double_.data() + entry_begin_[b] * c, list, n_t, n_e, vectors, out);
    } else {
        scratch.values.resize(n_t * n_e * c);
        compute_block(in, b, scratch.values.data(), scratch, nullptr);
        multiply_block(in.kind, scratch.values.data(), list, n_t, n_e, vectors, out);
    }
}

}  // namespace corvane::fmm
