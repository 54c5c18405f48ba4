// The direct driver: one worker per target chunk, element-outer loops over
// cache-sized blocks of the chunk.
#include "biotsavart/direct.hpp"

#include <algorithm>

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

}  // namespace

void run_direct(Vec3List nodes, TetList elements, const SourceVectors& sources, bool h_field,
                const TargetPoints& targets, FieldOutput& output, bool point_kernels,
                std::uint32_t n_threads_requested, bool accurate) {
    const ElementKernel kernel = select_kernel(sources.magnetization, h_field, point_kernels, accurate);
    const std::size_t n_threads = thread_count(n_threads_requested);
    const std::size_t chunk_size = ceil_div(targets.size(), n_threads);
    const std::vector<ChunkPair> chunks = chunk_pairs(targets, output, chunk_size);
    run_scoped(chunks.size(), [&](std::size_t k) {
        sum_elements_on_chunk(nodes, elements, sources.vectors, kernel, chunks[k]);
    });
}

}  // namespace corvane
