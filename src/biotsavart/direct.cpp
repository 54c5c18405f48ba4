// The direct driver: one worker per target chunk, element-outer loops over
// cache-sized blocks of the chunk.
#include "biotsavart/direct.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "fmm/quadrature.hpp"
#include "lib/failure.hpp"
#include "lib/parallelism.hpp"
#include "lib/thread_scope.hpp"
#include "sources/point/point.hpp"
#include "sources/tet4/tet4.hpp"

namespace corvane {

ElementKernel select_kernel(bool magnetization, bool h_field, bool point_kernels, bool accurate) {
    if (point_kernels) {
        if (magnetization) return h_field ? point_h_from_m : point_a_from_m;
        return h_field ? point_h_from_j : point_a_from_j;
    }
    if (accurate) {
        if (magnetization) return h_field ? tet4_h_from_m_accurate : tet4_a_from_m_accurate;
        return h_field ? tet4_h_from_j_accurate : tet4_a_from_j_accurate;
    }
    if (magnetization) return h_field ? tet4_h_from_m : tet4_a_from_m;
    return h_field ? tet4_h_from_j : tet4_a_from_j;
}

namespace {

// Targets per pass over the elements: the six lists of a block (192 KB) stay
// in the core's second-level cache while every element is added to them.
constexpr std::size_t TARGET_BLOCK = 4096;

void sum_elements_on_chunk(Vec3List nodes, TetList elements, Vec3List vectors, ElementKernel kernel,
                           const ChunkPair& chunk) {
    const std::size_t n = chunk.x.size();
    for (std::size_t start = 0; start < n; start += TARGET_BLOCK) {
        const std::size_t len = std::min(TARGET_BLOCK, n - start);
        const ChunkPair block{chunk.x.subspan(start, len),  chunk.y.subspan(start, len),
                              chunk.z.subspan(start, len),  chunk.fx.subspan(start, len),
                              chunk.fy.subspan(start, len), chunk.fz.subspan(start, len)};
        for (std::size_t e = 0; e < elements.size(); ++e) {
            const Tet tet = elements[e];
            ElementNodes element_nodes;
            for (std::size_t k = 0; k < 4; ++k) element_nodes[k] = nodes.at(tet[k]);
            kernel(element_nodes, vectors.at(e), block);
        }
    }
}

// The accurate sum's sources by distance. Beyond some 50 element radii (the
// largest distance from the centroid to a node) the closed-form integrals
// lose digits: their face terms cancel to a field (radius / distance)^3
// smaller, leaving about 1e-16 (distance / radius)^3 of it (1e-11 at 50
// radii, 6e-5 at 1e4). The points of a symmetric rule, as point sources, err
// as (radius / distance)^(degree + 1) instead. So: the integrals within 50
// radii, the degree-5 rule (14 points) to 1e4, the degree-2 rule (4 points) to
// 1e6 and the centroid beyond, each within about 3e-12 of the element's field.
constexpr std::array<double, 3> TIER_RADII{50.0, 1e4, 1e6};
constexpr std::array<std::size_t, 3> TIER_DEGREES{5, 2, 1};

struct Gathered {
    std::vector<std::uint32_t> index;
    std::vector<double> x, y, z, fx, fy, fz;
    // One slot more than the block: the branch-free gathering writes every
    // target and keeps those of the tier.
    explicit Gathered(std::size_t n) : index(n + 1), x(n + 1), y(n + 1), z(n + 1), fx(n + 1), fy(n + 1), fz(n + 1) {}
};

// The element's field at the block's targets of one tier: on the block
// itself when every target is of that tier, else on a gathered copy of those
// targets and their sums so far. Either way each target gets the same
// operations in the same order: its result does not depend on its block.
template <class Add>
void on_tier(const ChunkPair& block, const std::vector<std::uint8_t>& tier, std::uint8_t which, std::size_t count,
             Gathered& g, const Add& add) {
    const std::size_t n = block.x.size();
    if (count == 0) return;
    if (count == n) {
        add(block);
        return;
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        g.index[k] = static_cast<std::uint32_t>(i);
        g.x[k] = block.x[i], g.y[k] = block.y[i], g.z[k] = block.z[i];
        g.fx[k] = block.fx[i], g.fy[k] = block.fy[i], g.fz[k] = block.fz[i];
        k += tier[i] == which;
    }
    add(ChunkPair{std::span<const double>(g.x.data(), count), std::span<const double>(g.y.data(), count),
                  std::span<const double>(g.z.data(), count), std::span<double>(g.fx.data(), count),
                  std::span<double>(g.fy.data(), count), std::span<double>(g.fz.data(), count)});
    for (k = 0; k < count; ++k) {
        const std::uint32_t i = g.index[k];
        block.fx[i] = g.fx[k], block.fy[i] = g.fy[k], block.fz[i] = g.fz[k];
    }
}

// Squared distances from p to the nearest and the farthest point of the box [low, high].
std::pair<double, double> box_distances2(const Vec3& p, const Vec3& low, const Vec3& high) {
    double nearest = 0.0, farthest = 0.0;
    for (const auto [x, a, b] : {std::array<double, 3>{p.x, low.x, high.x}, std::array<double, 3>{p.y, low.y, high.y},
                                 std::array<double, 3>{p.z, low.z, high.z}}) {
        const double below = a - x, above = x - b;
        const double gap = std::max({below, above, 0.0});
        const double span = std::max(std::fabs(x - a), std::fabs(x - b));
        nearest += gap * gap, farthest += span * span;
    }
    return {nearest, farthest};
}

void sum_accurate_on_chunk(Vec3List nodes, TetList elements, const SourceVectors& sources, bool h_field,
                           ElementKernel kernel, const ChunkPair& chunk) {
    const std::size_t n = chunk.x.size();
    Gathered gathered(std::min(TARGET_BLOCK, n));
    std::vector<std::uint8_t> tier(std::min(TARGET_BLOCK, n));
    for (std::size_t start = 0; start < n; start += TARGET_BLOCK) {
        const std::size_t len = std::min(TARGET_BLOCK, n - start);
        const ChunkPair block{chunk.x.subspan(start, len),  chunk.y.subspan(start, len),
                              chunk.z.subspan(start, len),  chunk.fx.subspan(start, len),
                              chunk.fy.subspan(start, len), chunk.fz.subspan(start, len)};
        Vec3 low{block.x[0], block.y[0], block.z[0]}, high = low;
        for (std::size_t i = 1; i < len; ++i) {
            low = Vec3{std::min(low.x, block.x[i]), std::min(low.y, block.y[i]), std::min(low.z, block.z[i])};
            high = Vec3{std::max(high.x, block.x[i]), std::max(high.y, block.y[i]), std::max(high.z, block.z[i])};
        }
        for (std::size_t e = 0; e < elements.size(); ++e) {
            const Tet tet = elements[e];
            ElementNodes element_nodes;
            for (std::size_t k = 0; k < 4; ++k) element_nodes[k] = nodes.at(tet[k]);
            const Vec3 vector = sources.vectors.at(e);
            const PointSource whole = point_source(element_nodes, vector);
            const Vec3 c = whole.centroid;
            double radius2 = 0.0;
            for (const Vec3& node : element_nodes) {
                const Vec3 d = node - c;
                radius2 = std::max(radius2, (d.x * d.x + d.y * d.y) + d.z * d.z);
            }
            std::array<double, 3> limits{};
            for (std::size_t t = 0; t < 3; ++t) limits[t] = TIER_RADII[t] * TIER_RADII[t] * radius2;
            // Every target of the block in one tier (the box says so, with a
            // margin for the rounding of the targets' own distances), or each
            // classified.
            std::array<std::size_t, 4> counts{};
            const auto [nearest, farthest] = box_distances2(c, low, high);
            std::size_t whole_tier = 4;
            for (std::size_t t = 0; t < 4 && whole_tier == 4; ++t) {
                const bool above = t == 0 || nearest > limits[t - 1] * (1.0 + 1e-12);
                const bool below = t == 3 || farthest < limits[t] * (1.0 - 1e-12);
                if (above && below) whole_tier = t;
            }
            if (whole_tier < 4) {
                counts[whole_tier] = len;
                std::fill(tier.begin(), tier.begin() + static_cast<std::ptrdiff_t>(len),
                          static_cast<std::uint8_t>(whole_tier));
            } else {
                for (std::size_t i = 0; i < len; ++i) {
                    const double dx = block.x[i] - c.x, dy = block.y[i] - c.y, dz = block.z[i] - c.z;
                    const double r2 = (dx * dx + dy * dy) + dz * dz;
                    tier[i] = static_cast<std::uint8_t>((r2 > limits[0]) + (r2 > limits[1]) + (r2 > limits[2]));
                }
                for (std::size_t i = 0; i < len; ++i) counts[tier[i]] += 1;
            }
            on_tier(block, tier, 0, counts[0], gathered,
                    [&](const ChunkPair& targets) { kernel(element_nodes, vector, targets); });
            for (std::uint8_t t = 1; t <= 3; ++t) {
                on_tier(block, tier, t, counts[t], gathered, [&](const ChunkPair& targets) {
                    for (const fmm::QuadraturePoint& q : fmm::tetrahedron_rule(TIER_DEGREES[t - 1])) {
                        const auto& b = q.barycentric;
                        PointSource point;
                        point.centroid = ((element_nodes[0] * b[0] + element_nodes[1] * b[1]) +
                                          element_nodes[2] * b[2]) + element_nodes[3] * b[3];
                        point.volume = whole.volume * q.weight;
                        point.strength = vector * point.volume;
                        point.equivalent_radius = std::cbrt(point.volume * 0.238732414637843);
                        add_point_source_field(point, vector, sources.magnetization, h_field, targets);
                    }
                });
            }
        }
    }
}

}  // namespace

void run_direct(Vec3List nodes, TetList elements, const SourceVectors& sources, bool h_field,
                const TargetPoints& targets, FieldOutput& output, bool point_kernels,
                std::uint32_t n_threads_requested, bool accurate) {
    const ElementKernel kernel = select_kernel(sources.magnetization, h_field, point_kernels, accurate);
    const std::size_t n_threads = thread_count(n_threads_requested);
    const std::size_t chunk_size = ceil_div(targets.size(), n_threads);
    const std::vector<ChunkPair> chunks = chunk_pairs(targets, output, chunk_size);
    run_scoped(chunks.size(), [&](std::size_t k) {
        if (accurate && !point_kernels) sum_accurate_on_chunk(nodes, elements, sources, h_field, kernel, chunks[k]);
        else sum_elements_on_chunk(nodes, elements, sources.vectors, kernel, chunks[k]);
    });
}

}  // namespace corvane
