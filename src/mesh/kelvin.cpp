// Kelvin force density: gradient operator and nodal differences per element,
// fused into one pass once all indices are known to be valid.
#include "mesh/kelvin.hpp"

#include <span>

#include "math/gradient.hpp"

namespace corvane {

void check_node_indices(TetList elements, std::size_t n_nodes) {
    for (std::size_t e = 0; e < elements.size(); ++e) {
        const Tet k = elements[e];
        for (const std::uint32_t index : k) check_index(index, n_nodes);
    }
}

FieldOutput kelvin_force_density(Vec3List nodes, TetList elements, std::size_t n_rows, Vec3List magnetization,
                                 const TargetPoints& h) {
    const std::span<const double> hx(h.x), hy(h.y), hz(h.z);
    assert_equal(hy.size(), hx.size());
    assert_equal(hz.size(), hx.size());
    check_node_indices(elements, nodes.size());
    // The nodal differences' own index checks, for every element before any result.
    for (std::size_t e = 0; e < elements.size(); ++e) static_cast<void>(nodal_differences(hx, elements[e]));
    if (n_rows > elements.size()) fail_index(elements.size(), elements.size());
    if (n_rows > magnetization.size()) fail_index(magnetization.size(), magnetization.size());

    FieldOutput out(n_rows);
    for (std::size_t e = 0; e < n_rows; ++e) {
        const Tet k = elements[e];
        const TetGradientOperator op = tet_gradient_operator(nodes[k[0]], nodes[k[1]], nodes[k[2]], nodes[k[3]]);
        const Vec3 gx = apply_gradient(op, nodal_differences(hx, k));
        const Vec3 gy = apply_gradient(op, nodal_differences(hy, k));
        const Vec3 gz = apply_gradient(op, nodal_differences(hz, k));
        const Vec3 m = magnetization[e];
        out.fx[e] = (m.x * gx.x + m.y * gx.y) + m.z * gx.z;
        out.fy[e] = (m.x * gy.x + m.y * gy.y) + m.z * gy.z;
        out.fz[e] = (m.x * gz.x + m.y * gz.y) + m.z * gz.z;
    }
    return out;
}

}  // namespace corvane
