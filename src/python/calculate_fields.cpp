// calculate_fields: A or H of tetrahedral sources at target points.
#include "biotsavart/direct.hpp"
#include "mesh/coordinate_range.hpp"
#include "octree/mod.hpp"
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/readers.hpp"
#include "types/results.hpp"

namespace corvane::py {

PyObject* calculate_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<13>(CALCULATE_FIELDS, args, nargs, kwnames);
        const ArrayArg src_nodes = to_float64_matrix(a[0], "src_nodes");
        const ArrayArg src_connectivity = to_index_matrix(a[1], "src_connectivity");
        const ArrayArg src_vectors = to_float64_matrix(a[2], "src_vectors");
        const std::uint32_t src_vector_type = to_count(a[3], "src_vector_type");
        const std::uint32_t requested_field = to_count(a[4], "requested_field");
        const ArrayArg targets_arg = to_float64_matrix(a[5], "targets");
        const bool element_integration = to_flag(a[6], "element_integration");
        const std::uint32_t n_threads_requested = to_count(a[7], "n_threads_requested");
        const bool use_octree = to_flag(a[8], "use_octree");
        [[maybe_unused]] const double theta = to_real(a[9], "theta");
        [[maybe_unused]] const std::uint32_t multipole_order = to_count(a[10], "multipole_order");
        [[maybe_unused]] const std::uint32_t max_leaf_size = to_count(a[11], "max_leaf_size");
        [[maybe_unused]] const std::uint32_t batch_size = to_count(a[12], "batch_size");

        const FlatVec3 nodes = read_flat_vec3(src_nodes);
        const FlatTets elements = read_flat_tets(src_connectivity);
        const FlatVec3 vectors = read_flat_vec3(src_vectors);
        // Codes other than 0 (current density) are magnetisations.
        const SourceVectors sources{src_vector_type != 0, vectors.list()};
        const bool h_field = requested_field != 0;
        const TargetPoints targets = read_target_columns(targets_arg);
        check_coordinates(nodes.list(), "src_nodes");
        check_element_sizes(nodes.list(), elements.list(), "src_connectivity");
        check_coordinates(targets, "targets");
        FieldOutput output(targets.size());

        if (use_octree) {
            run_octree_request(nodes.list(), elements.list(), vectors.list(), src_vector_type, h_field, targets,
                               output, theta, multipole_order, max_leaf_size, batch_size, n_threads_requested,
                               element_integration);
            return make_field_array(std::move(output.fx), std::move(output.fy), std::move(output.fz));
        }
        run_direct(nodes.list(), elements.list(), sources, h_field, targets, output, !element_integration,
                   n_threads_requested);
        return make_field_array(std::move(output.fx), std::move(output.fy), std::move(output.fz));
    });
}

}  // namespace corvane::py
