// The solver loop: start value, field evaluation, relaxed update, progress
// line, convergence test, reuse of the field buffers.
#include "magnetization/solver.hpp"

#include <algorithm>
#include <cmath>

#include "lib/failure.hpp"
#include "magnetization/progress.hpp"

namespace corvane {
namespace {

// One element's component: moves `m` towards chi * (hd + h_ext) and raises
// `change` to the distance when that is larger (a NaN distance is not).
inline void relax_component(double& m, double hd, double h_ext, double chi, double relaxation, double keep,
                            double& change) {
    const double target = chi * (hd + h_ext);
    const double distance = std::abs(m - target);
    if (distance > change) change = distance;
    const double towards = relaxation * target;
    const double stays = keep * m;
    m = towards + stays;
}

}  // namespace

double relax_magnetization(std::vector<double>& m, const FieldOutput& hd, Vec3List h_ext, double chi,
                           double relaxation) {
    const std::size_t n = hd.fx.size();
    assert_equal(m.size(), 3 * n);
    assert_equal(hd.fy.size(), n);
    assert_equal(hd.fz.size(), n);
    if (h_ext.size() < n) fail_index(h_ext.size(), h_ext.size());  // the first missing row
    const double keep = 1.0 - relaxation;
    const double* ext = h_ext.data();
    double* mp = m.data();
    // Four elements per step; the maximum ignores NaN, so its order is free.
    double change[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t e = i + j;
            relax_component(mp[3 * e], hd.fx[e], ext[3 * e], chi, relaxation, keep, change[j]);
            relax_component(mp[3 * e + 1], hd.fy[e], ext[3 * e + 1], chi, relaxation, keep, change[j]);
            relax_component(mp[3 * e + 2], hd.fz[e], ext[3 * e + 2], chi, relaxation, keep, change[j]);
        }
    }
    for (; i < n; ++i) {
        relax_component(mp[3 * i], hd.fx[i], ext[3 * i], chi, relaxation, keep, change[0]);
        relax_component(mp[3 * i + 1], hd.fy[i], ext[3 * i + 1], chi, relaxation, keep, change[0]);
        relax_component(mp[3 * i + 2], hd.fz[i], ext[3 * i + 2], chi, relaxation, keep, change[0]);
    }
    return std::max(std::max(change[0], change[1]), std::max(change[2], change[3]));
}

SolverResult solve_magnetization(std::size_t n_elements, const TargetPoints& centroids, Vec3List h_ext,
                                 const SolverSettings& settings, const FieldPath& path,
                                 const BetweenIterations& between_iterations) {
    // The start value needs one applied-field row per element; the first
    // missing row is the index reported. Checked before allocating, as the
    // element count of an empty connectivity need not be backed by memory.
    if (h_ext.size() < n_elements) fail_index(h_ext.size(), h_ext.size());
    SolverResult out;
    out.m.reserve(3 * n_elements);
    for (std::size_t i = 0; i < n_elements; ++i) push_vec3(out.m, h_ext[i] * settings.chi);

    // The field buffers have one entry per element; evaluation points must match.
    assert_equal(n_elements, centroids.size(), "length of `fx` does not match");
    out.h = FieldOutput(n_elements);
    {
        const FieldEvaluation evaluate = path(Vec3List(out.m));
        for (std::uint32_t k = 0; k < settings.max_iterations; ++k) {
            between_iterations();
            evaluate(Vec3List(out.m), centroids, out.h);
            const double change = relax_magnetization(out.m, out.h, h_ext, settings.chi, settings.relaxation);
            if (settings.verbose) write_stdout(progress_line(k, change));
            if (change <= settings.atol) break;
            if (k + 1 < settings.max_iterations) {
                std::fill(out.h.fx.begin(), out.h.fx.end(), 0.0);
                std::fill(out.h.fy.begin(), out.h.fy.end(), 0.0);
                std::fill(out.h.fz.begin(), out.h.fz.end(), 0.0);
            }
        }
    }  // the evaluation (and any tree it holds) is released here

    for (std::size_t i = 0; i < n_elements; ++i) {
        const Vec3 e = h_ext[i];
        out.h.fx[i] += e.x;
        out.h.fy[i] += e.y;
        out.h.fz[i] += e.z;
    }
    return out;
}

}  // namespace corvane
