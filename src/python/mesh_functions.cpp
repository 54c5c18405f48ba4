// Mesh utilities: volumes, centroids, boundary faces and their properties,
// probe tetrahedra, Maxwell surface forces and the Kelvin force density.
#include <vector>

#include "mesh/coordinate_range.hpp"
#include "mesh/face_properties.hpp"
#include "mesh/geometry.hpp"
#include "mesh/kelvin.hpp"
#include "mesh/maxwell_stress.hpp"
#include "mesh/probe_tets.hpp"
#include "mesh/surface_faces.hpp"
#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "types/readers.hpp"
#include "types/results.hpp"

namespace corvane::py {

PyObject* mesh_centroids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<2>(MESH_CENTROIDS, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg connectivity = to_index_matrix(a[1], "connectivity");
        const FlatVec3 nodes = read_flat_vec3(nodes_arg);
        const FlatTets elements = read_flat_tets(connectivity);
        // Sized only once the arrays are known to be readable: the row count
        // of a broadcast view may be far larger than its memory.
        const std::size_t n_rows = connectivity.rows();
        assert_equal(elements.list().size(), n_rows);
        std::vector<double> centroids(3 * n_rows, 0.0);
        tet_centroids(nodes.list(), elements.list(), centroids);
        return reshaped(array_from_buffer(std::move(centroids)), n_rows, 3);
    });
}

PyObject* mesh_volumes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<2>(MESH_VOLUMES, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg connectivity = to_index_matrix(a[1], "connectivity");
        const FlatVec3 nodes = read_flat_vec3(nodes_arg);
        const FlatTets elements = read_flat_tets(connectivity);
        const std::size_t n_rows = connectivity.rows();
        assert_equal(elements.list().size(), n_rows);
        check_coordinates(nodes.list(), "nodes");
        check_element_sizes(nodes.list(), elements.list(), "connectivity");
        std::vector<double> volumes(n_rows, 0.0);
        tet_volumes(nodes.list(), elements.list(), volumes);
        return array_from_buffer(std::move(volumes));
    });
}

PyObject* mesh_surface_faces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<1>(MESH_SURFACE_FACES, args, nargs, kwnames);
        const ArrayArg connectivity = to_index_matrix(a[0], "connectivity");
        const FlatValues<std::uint32_t> flat = read_flat_indices(connectivity);
        std::vector<std::uint32_t> faces = surface_faces(TetList(flat.values.data(), flat.size() / 4));
        const std::size_t n_faces = faces.size() / 3;
        return reshaped(array_from_buffer(std::move(faces)), n_faces, 3);
    });
}

PyObject* mesh_surface_face_properties(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<2>(MESH_SURFACE_FACE_PROPERTIES, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg faces_arg = to_index_matrix(a[1], "faces");
        const FlatValues<double> nodes = read_flat_doubles(nodes_arg);
        const FlatValues<std::uint32_t> faces = read_flat_indices(faces_arg);
        check_coordinates(nodes.values, "nodes");
        check_face_sizes(nodes.values, faces.values, "faces");
        FaceProperties props = face_properties(nodes.values, faces.values);
        Ref areas = array_from_buffer(std::move(props.areas));
        // A triple count other than the row count fails here with NumPy's own
        // reshape error, which reaches the caller unchanged.
        Ref centroids = reshaped(array_from_buffer(std::move(props.centroids)), faces_arg.rows(), 3);
        Ref normals = reshaped(array_from_buffer(std::move(props.normals)), faces_arg.rows(), 3);
        return checked(PyTuple_Pack(3, areas.get(), centroids.get(), normals.get()));
    });
}

PyObject* mesh_surface_forces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<3>(MESH_SURFACE_FORCES, args, nargs, kwnames);
        const ArrayArg areas_arg = to_float64_vector(a[0], "face_areas");
        const ArrayArg normals_arg = to_float64_matrix(a[1], "face_normals");
        const ArrayArg b_arg = to_float64_matrix(a[2], "b_field");
        const FlatValues<double> b_field = read_flat_doubles(b_arg);
        const FlatValues<double> areas = read_flat_doubles(areas_arg);
        const FlatValues<double> normals = read_flat_doubles(normals_arg);
        std::vector<double> forces = surface_forces(areas.values, normals.values, b_field.values);
        const std::size_t n_faces = areas.size();
        return reshaped(array_from_buffer(std::move(forces)), n_faces, 3);
    });
}

PyObject* mesh_surface_tets(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<4>(MESH_SURFACE_TETS, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_vector(a[0], "nodes");
        const ArrayArg faces_arg = to_index_vector(a[1], "faces");
        const ArrayArg centroids_arg = to_float64_vector(a[2], "centroids");
        const ArrayArg normals_arg = to_float64_vector(a[3], "normals");
        const FlatValues<double> nodes = read_flat_doubles(nodes_arg);
        const FlatValues<std::uint32_t> faces = read_flat_indices(faces_arg);
        const FlatValues<double> centroids = read_flat_doubles(centroids_arg);
        const FlatValues<double> normals = read_flat_doubles(normals_arg);
        check_coordinates(nodes.values, "nodes");
        check_coordinates(centroids.values, "centroids");
        ProbeTets tets = face_probe_tets(nodes.values, faces.values, centroids.values, normals.values);
        Ref points = array_from_buffer(std::move(tets.points));
        Ref indices = array_from_buffer(std::move(tets.indices));
        return checked(PyTuple_Pack(2, points.get(), indices.get()));
    });
}

PyObject* mesh_kelvin_force_density(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = match_arguments<4>(MESH_KELVIN_FORCE_DENSITY, args, nargs, kwnames);
        const ArrayArg nodes_arg = to_float64_matrix(a[0], "nodes");
        const ArrayArg connectivity = to_index_matrix(a[1], "connectivity");
        const ArrayArg m_arg = to_float64_matrix(a[2], "m_field_centroids");
        const ArrayArg h_arg = to_float64_matrix(a[3], "h_field_nodes");
        const std::vector<double> nodes = read_vec3_rows(nodes_arg);
        const FlatTets elements = read_flat_tets(connectivity);
        const std::vector<double> magnetization = read_vec3_rows(m_arg);
        check_coordinates(Vec3List(nodes), "nodes");
        check_element_sizes(Vec3List(nodes), elements.list(), "connectivity");
        // Node indices are checked before the nodal field is read.
        check_node_indices(elements.list(), nodes.size() / 3);
        const TargetPoints h = read_target_columns(h_arg);
        FieldOutput force = kelvin_force_density(Vec3List(nodes), elements.list(), connectivity.rows(),
                                                 Vec3List(magnetization), h);
        return make_field_array(std::move(force.fx), std::move(force.fy), std::move(force.fz));
    });
}

}  // namespace corvane::py
