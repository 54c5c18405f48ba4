// Field evaluations of the solver over the direct driver and the octree.
#include "magnetization/field_paths.hpp"

#include <memory>

#include "biotsavart/direct.hpp"

namespace corvane {

FieldPath direct_field_path(Vec3List nodes, TetList elements, bool point_kernels,
                            std::uint32_t n_threads_requested) {
    return [=](Vec3List) -> FieldEvaluation {
        return [=](Vec3List m, const TargetPoints& targets, FieldOutput& h) {
            run_direct(nodes, elements, SourceVectors{true, m}, true, targets, h, point_kernels, n_threads_requested);
        };
    };
}

FieldPath octree_field_path(Vec3List nodes, TetList elements, const OctreeParams& params) {
    return [=](Vec3List m_start) -> FieldEvaluation {
        auto tree = std::make_shared<Octree>(build_octree(nodes, elements, std::nullopt, m_start, params));
        return [tree](Vec3List m, const TargetPoints& targets, FieldOutput& h) {
            aggregate_moments(*tree, SourceKind::Magnetization, m);
            run_octree(*tree, targets, h, true, true);
        };
    };
}

}  // namespace corvane
