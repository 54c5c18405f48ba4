// magnetization_solve: self-consistent magnetisation of a linear body; Ctrl-C
// ends the solve between iterations.
#include <vector>

#include "magnetization/field_paths.hpp"
#include "magnetization/solver.hpp"
#include "mesh/coordinate_range.hpp"
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/readers.hpp"
#include "types/results.hpp"

namespace corvane::py {
namespace {

// Runs pending signal handlers; the exception one of them raised (such as
// KeyboardInterrupt) ends the call.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet{};
}

}  // namespace

PyObject* magnetization_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<16>(MAGNETIZATION_SOLVE, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg connectivity = to_index_matrix(a[1], "connectivity");
        const ArrayArg centroids_arg = to_float64_matrix(a[2], "centroids");
        const double chi = to_real(a[3], "chi");
        const ArrayArg h_ext_arg = to_float64_matrix(a[4], "h_ext");
        const bool element_integration = to_flag(a[5], "element_integration");
        const std::uint32_t n_threads_requested = to_count(a[6], "n_threads_requested");
        const double atol = to_real(a[7], "atol");
        const std::uint32_t max_iterations = to_count(a[8], "max_iterations");
        const double under_relaxation_factor = to_real(a[9], "under_relaxation_factor");
        const bool use_octree = to_flag(a[10], "use_octree");
        const double theta = to_real(a[11], "theta");
        const std::uint32_t multipole_order = to_count(a[12], "multipole_order");
        const std::uint32_t max_leaf_size = to_count(a[13], "max_leaf_size");
        const std::uint32_t batch_size = to_count(a[14], "batch_size");
        const bool verbose = to_flag(a[15], "verbose");

        const FlatVec3 nodes = read_flat_vec3(nodes_arg);
        const FlatTets elements = read_flat_tets(connectivity);
        const TargetPoints centroids = read_target_columns(centroids_arg);
        const std::vector<double> h_ext = read_vec3_rows(h_ext_arg);
        check_coordinates(nodes.list(), "nodes");
        check_element_sizes(nodes.list(), elements.list(), "connectivity");
        check_coordinates(centroids, "centroids");
        const std::size_t n_elements = connectivity.rows();
        const SolverSettings settings{chi, atol, max_iterations, under_relaxation_factor, verbose};

        // Signal handlers run between iterations and may free or replace the
        // buffer of an input array (resize without reference check,
        // __setstate__). The octree holds copies of the mesh from before the
        // first iteration; the direct path sums over a copy of its own.
        std::vector<double> node_copy;
        std::vector<std::uint32_t> element_copy;
        if (!use_octree) {
            node_copy.assign(nodes.flat.values.begin(), nodes.flat.values.end());
            element_copy.assign(elements.flat.values.begin(), elements.flat.values.end());
        }
        const FieldPath path =
            use_octree ? octree_field_path(nodes.list(), elements.list(),
                                           octree_params(theta, multipole_order, max_leaf_size, batch_size,
                                                         n_threads_requested, element_integration))
                       : direct_field_path(Vec3List(node_copy), TetList(element_copy.data(), element_copy.size() / 4),
                                           !element_integration, n_threads_requested);
        SolverResult result =
            solve_magnetization(n_elements, centroids, Vec3List(h_ext), settings, path, check_signals);

        Ref m = reshaped(array_from_buffer(std::move(result.m)), n_elements, 3);
        Ref h = make_field_array(std::move(result.h.fx), std::move(result.h.fy), std::move(result.h.fz));
        return checked(PyTuple_Pack(2, m.get(), h.get()));
    });
}

}  // namespace corvane::py
